#include "faults.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "settings.hpp"

namespace camsim {
namespace {

constexpr double kMaxSeconds = 1e7;  // longer than any night
constexpr long kMaxCount = 1000000000L;

struct Word {
    std::string key, value;
};

std::vector<std::string> split(std::string_view text, auto is_sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (is_sep(c)) {
            if (!cur.empty()) out.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

// Items end at ';' or a line's end; '#' starts a comment that runs to the line's end.
std::vector<std::string> items_of(std::string_view text) {
    std::string clean;
    bool comment = false;
    for (char c : text) {
        if (c == '\n') comment = false;
        if (c == '#') comment = true;
        if (!comment) clean += c == '\n' ? ';' : c;
    }
    std::vector<std::string> items;
    for (std::string& item : split(clean, [](char c) { return c == ';'; })) {
        auto words = split(item, [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
        if (words.empty()) continue;
        std::string joined;
        for (auto& w : words) joined += (joined.empty() ? "" : " ") + w;
        items.push_back(joined);
    }
    return items;
}

bool read_seconds(const std::string& s, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || errno || !std::isfinite(v) || v < 0.0 || v > kMaxSeconds) return false;
    *out = v;
    return true;
}

bool read_count(const std::string& s, long min, long* out) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 10) return false;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (v < min || v > kMaxCount) return false;
    *out = v;
    return true;
}

struct Grammar {
    const char* name;
    Fault::Kind kind;
    const char* keys;  // the words it takes, as the message lists them
};

constexpr Grammar kGrammar[] = {
    {"unplug", Fault::Kind::Unplug, "camera=, at= or after=, for="},
    {"fail", Fault::Kind::Fail, "camera=, exposure= or every= or p="},
    {"hang", Fault::Kind::Hang, "camera=, exposure= or every= or p=, for="},
    {"video-timeout", Fault::Kind::VideoTimeout, "camera=, at= or after=, for="},
    {"glitch", Fault::Kind::Glitch, "camera=, exposure= or every= or p= or frame=, kind=shift or kind=zero"},
};

bool allowed(Fault::Kind kind, const std::string& key) {
    using K = Fault::Kind;
    if (key == "camera") return true;
    bool timed = kind == K::Unplug || kind == K::VideoTimeout;
    if (key == "at" || key == "after") return timed;
    if (key == "for") return kind != K::Fail && kind != K::Glitch;
    if (key == "exposure" || key == "every" || key == "p") return !timed;
    if (key == "kind" || key == "frame") return kind == K::Glitch;
    return false;
}

// The fault of one item, or a message saying what is wrong with it.
std::optional<Fault> parse_item(const std::vector<std::string>& words, int cameras, std::string* error) {
    const Grammar* g = nullptr;
    for (const Grammar& c : kGrammar)
        if (words[0] == c.name) g = &c;
    if (!g) {
        *error = "unknown fault '" + words[0] + "' (faults: unplug, fail, hang, video-timeout, glitch; or seed=N)";
        return std::nullopt;
    }
    Fault f;
    f.kind = g->kind;
    std::map<std::string, std::string> seen;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::size_t eq = words[i].find('=');
        std::string key = eq == std::string::npos ? words[i] : words[i].substr(0, eq);
        if (eq == std::string::npos || !allowed(f.kind, key)) {
            *error = "'" + words[i] + "' is not a word " + g->name + " takes (" + g->keys + ")";
            return std::nullopt;
        }
        if (seen.count(key)) {
            *error = key + "= is given twice";
            return std::nullopt;
        }
        seen[key] = words[i].substr(eq + 1);
    }
    auto bad = [&](const std::string& key, const char* want) {
        *error = key + "=" + seen[key] + " is not " + want;
        return std::nullopt;
    };
    long number = 0;
    if (!seen.count("camera")) {
        *error = std::string(g->name) + " needs camera=N";
        return std::nullopt;
    }
    if (!read_count(seen["camera"], 0, &number)) return bad("camera", "a camera number (0, 1, ...)");
    if (number >= cameras) {
        *error = "camera=" + seen["camera"] + " is not connected (" + std::to_string(cameras) +
                 (cameras == 1 ? " camera" : " cameras") + ")";
        return std::nullopt;
    }
    f.camera = static_cast<int>(number);
    double seconds = 0.0;
    if (seen.count("for")) {
        if (!read_seconds(seen["for"], &seconds)) return bad("for", "a number of seconds");
        f.duration = seconds;
    }
    bool timed = f.kind == Fault::Kind::Unplug || f.kind == Fault::Kind::VideoTimeout;
    if (timed) {
        if (seen.count("at") == seen.count("after")) {
            *error = std::string(g->name) + " takes one of at=SECONDS or after=COUNT";
            return std::nullopt;
        }
        if (seen.count("at")) {
            if (!read_seconds(seen["at"], &seconds)) return bad("at", "a number of seconds");
            f.at = seconds;
        } else {
            if (!read_count(seen["after"], 0, &number)) return bad("after", "a count (0, 1, ...)");
            f.after = number;
        }
        if (f.kind == Fault::Kind::VideoTimeout && !f.duration) {
            *error = "video-timeout needs for=SECONDS";
            return std::nullopt;
        }
        return f;
    }
    if (seen.count("exposure") + seen.count("every") + seen.count("p") + seen.count("frame") != 1) {
        *error = std::string(g->name) + " takes one of exposure=N,M,..., every=N or p=PROBABILITY" +
                 (f.kind == Fault::Kind::Glitch ? " or frame=N,M,..." : "");
        return std::nullopt;
    }
    if (seen.count("frame")) {
        for (const std::string& n : split(seen["frame"], [](char c) { return c == ','; })) {
            if (!read_count(n, 1, &number)) return bad("frame", "a list of video frame numbers (1, 2, ...)");
            f.frames.push_back(number);
        }
        if (f.frames.empty()) return bad("frame", "a list of video frame numbers (1, 2, ...)");
    } else if (seen.count("exposure")) {
        for (const std::string& n : split(seen["exposure"], [](char c) { return c == ','; })) {
            if (!read_count(n, 1, &number)) return bad("exposure", "a list of exposure numbers (1, 2, ...)");
            f.exposures.push_back(number);
        }
        if (f.exposures.empty()) return bad("exposure", "a list of exposure numbers (1, 2, ...)");
    } else if (seen.count("every")) {
        if (!read_count(seen["every"], 1, &f.every)) return bad("every", "a count (1, 2, ...)");
    } else {
        double p = 0.0;
        if (!read_seconds(seen["p"], &p) || p > 1.0) return bad("p", "a probability (0 to 1)");
        f.p = p;
    }
    if (seen.count("kind")) {
        if (seen["kind"] != "shift" && seen["kind"] != "zero") return bad("kind", "shift or zero");
        f.zero = seen["kind"] == "zero";
    }
    return f;
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

std::optional<FaultPlan> parse_faults(std::string_view text, int cameras, std::string* error) {
    FaultPlan plan;
    auto items = items_of(text);
    for (std::size_t i = 0; i < items.size(); ++i) {
        auto words = split(items[i], [](char c) { return c == ' '; });
        std::string problem;
        if (words[0].rfind("seed=", 0) == 0) {
            const std::string v = words[0].substr(5);
            long s = 0;
            if (words.size() > 1)
                problem = "seed= stands alone";
            else if (!read_count(v, 0, &s))
                problem = "seed=" + v + " is not a whole number";
            else
                plan.seed = static_cast<std::uint64_t>(s);
        } else if (auto f = parse_item(words, cameras, &problem)) {
            f->rule = static_cast<int>(plan.faults.size());
            plan.faults.push_back(*f);
        }
        if (!problem.empty()) {
            if (error) *error = "item " + std::to_string(i + 1) + " '" + items[i] + "': " + problem;
            return std::nullopt;
        }
    }
    return plan;
}

double draw(std::uint64_t seed, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    std::uint64_t h = mix(mix(mix(mix(seed) ^ a) ^ b) ^ c);
    return static_cast<double>(h >> 11) * 0x1.0p-53;
}

bool picks(const Fault& f, std::uint64_t seed, long exposure) {
    if (f.every > 0) return exposure % f.every == 0;
    if (f.p) return draw(seed, static_cast<std::uint64_t>(f.rule), static_cast<std::uint64_t>(f.camera),
                         static_cast<std::uint64_t>(exposure)) < *f.p;
    return std::find(f.exposures.begin(), f.exposures.end(), exposure) != f.exposures.end();
}

FaultLog& FaultLog::get() {
    static FaultLog* log = new FaultLog();  // never destroyed: threads may log at exit
    return *log;
}

void FaultLog::restart() {
    std::lock_guard lk(mu_);
    origin_ = real_seconds();
    entries_.clear();
}

double FaultLog::origin() const {
    std::lock_guard lk(mu_);
    return origin_;
}

double FaultLog::elapsed() const { return real_seconds() - origin(); }

void FaultLog::add(int camera, std::string what) {
    double now = real_seconds();
    std::lock_guard lk(mu_);
    entries_.push_back({now - origin_, camera, std::move(what)});
}

void FaultLog::add_at(double seconds, int camera, std::string what) {
    std::lock_guard lk(mu_);
    entries_.push_back({seconds, camera, std::move(what)});
}

std::string FaultLog::dump() const {
    std::vector<Entry> sorted;
    {
        std::lock_guard lk(mu_);
        sorted = entries_;
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
    std::string out;
    char num[64];
    for (const Entry& e : sorted) {
        std::snprintf(num, sizeof num, "%.3f\t%d\t", e.seconds, e.camera);
        out += num + e.what + "\n";
    }
    return out;
}

}  // namespace camsim

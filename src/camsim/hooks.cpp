#include "hooks.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace camsim {
namespace {

void append_arg(std::string& out, const LoggedArg& a) {
    char tmp[32];
    switch (a.kind) {
    case LoggedArg::Int:
        std::snprintf(tmp, sizeof tmp, "%lld", a.value);
        out += tmp;
        break;
    case LoggedArg::None:
        out += "None";
        break;
    case LoggedArg::Bytes:
        out += "b'";
        for (unsigned char c : a.bytes) {
            std::snprintf(tmp, sizeof tmp, "\\x%02x", c);
            out += tmp;
        }
        out += "'";
        break;
    }
}

void write_forced(const Out& out, const std::optional<std::string>& data) {
    if (!out.ptr) return;
    std::size_t n = data ? std::min(out.size, data->size()) : 0;
    if (n) std::memcpy(out.ptr, data->data(), n);
    if (!out.buffer) std::memset(static_cast<char*>(out.ptr) + n, 0, out.size - n);
}

}  // namespace

Hooks& Hooks::get() {
    static Hooks* hooks = new Hooks();  // never destroyed: calls may arrive during exit
    return *hooks;
}

void Hooks::set_recording(bool on) { recording_.store(on, std::memory_order_relaxed); }

void Hooks::record(Fn fn, std::vector<LoggedArg> args) {
    std::lock_guard lk(mu_);
    if (calls_.size() >= kMaxCalls) calls_.pop_front();
    calls_.push_back({fn, std::move(args)});
}

std::string Hooks::dump_calls() const {
    std::lock_guard lk(mu_);
    std::string out;
    for (const Call& c : calls_) {
        out += "('";
        out += function_name(c.fn);
        out += "', (";
        for (const LoggedArg& a : c.args) {
            append_arg(out, a);
            out += ", ";
        }
        out += "))\n";
    }
    return out;
}

void Hooks::clear_calls() {
    std::lock_guard lk(mu_);
    calls_.clear();
}

void Hooks::fail_next(Fn fn, int code, int times) {
    std::lock_guard lk(mu_);
    Fault& f = faults_[static_cast<std::size_t>(fn)];
    armed_ += std::max(0, times) - f.times;
    f = {code, std::max(0, times)};
}

void Hooks::force_outputs(Fn fn, int code, std::vector<std::optional<std::string>> outputs) {
    std::lock_guard lk(mu_);
    forced_[static_cast<std::size_t>(fn)].push_back({code, std::move(outputs)});
    ++armed_;
}

// Forced outputs come before faults: each is asked for the very next call.
std::optional<int> Hooks::intercept(Fn fn, std::span<const Out> outs) {
    if (armed_.load(std::memory_order_acquire) == 0) return std::nullopt;
    std::lock_guard lk(mu_);
    auto& forced = forced_[static_cast<std::size_t>(fn)];
    if (!forced.empty()) {
        Forced f = std::move(forced.front());
        forced.pop_front();
        --armed_;
        for (std::size_t i = 0; i < outs.size(); ++i)
            write_forced(outs[i], i < f.outputs.size() ? f.outputs[i] : std::nullopt);
        return f.code;
    }
    Fault& fault = faults_[static_cast<std::size_t>(fn)];
    if (fault.times > 0) {
        --fault.times;
        --armed_;
        return fault.code;
    }
    return std::nullopt;
}

void Hooks::reset() {
    std::lock_guard lk(mu_);
    recording_ = false;
    calls_.clear();
    faults_ = {};
    for (auto& f : forced_) f.clear();
    armed_ = 0;
}

}  // namespace camsim

#include "machine.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace camsim::machine {
namespace {

std::mutex g_warned_mu;
std::string g_warned;  // the folder last said to be unusable

void warn_once(const std::string& dir, const char* why) {
    std::lock_guard lk(g_warned_mu);
    if (g_warned == dir) return;
    g_warned = dir;
    std::fprintf(stderr,
                 "orlicam simulator: cannot keep camera state in %s (%s); cameras are not shared "
                 "between processes\n",
                 dir.c_str(), why);
}

bool make_dirs(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// What `ps` would call this program: argv[0]'s name, or for an interpreter the script
// or module it runs (python -m pytest: pytest).
std::string program_name() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> argv;
    for (std::string arg; std::getline(in, arg, '\0');) argv.push_back(arg);
    auto base = [](const std::string& p) { return p.substr(p.find_last_of('/') + 1); };
    if (argv.empty()) return "unknown";
    std::string name = base(argv[0]);
    if (name.rfind("python", 0) == 0 && argv.size() > 1) {
        if (argv[1] == "-m" && argv.size() > 2) return argv[2];
        if (argv[1][0] != '-') return base(argv[1]);
    }
    return name.empty() ? "unknown" : name;
}

std::string path(const std::string& dir, const std::string& serial, const char* ext) {
    return dir + "/" + serial + ext;
}

std::optional<Holder> read_holder(int fd) {
    char buf[256] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    Holder h;
    if (n > 0) {
        std::istringstream in(std::string(buf, static_cast<std::size_t>(n)));
        in >> h.pid;
        std::getline(in >> std::ws, h.program);
    }
    if (h.program.empty()) h.program = "another program";
    return h;
}

}  // namespace

double unix_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string state_dir() {
    std::string dir;
    if (const char* env = std::getenv("ORLICAM_SIM_STATE_DIR"); env && *env)
        dir = env;
    else if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        dir = std::string(run) + "/orlicam-sim";
    else
        dir = "/tmp/orlicam-sim-" + std::to_string(::getuid());
    if (!make_dirs(dir)) {
        warn_once(dir, std::strerror(errno));
        return {};
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        warn_once(dir, "not a folder of this user");
        return {};
    }
    return dir;
}

Claim::Result Claim::take(const std::string& serial, Holder* holder) {
    if (fd_ >= 0) return Taken;
    std::string dir = state_dir();
    if (dir.empty()) return NoFolder;
    int fd = ::open(path(dir, serial, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        warn_once(dir, std::strerror(errno));
        return NoFolder;
    }
    // A moment's retry: holder() takes the lock shared for an instant to ask.
    for (int tries = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
        if (tries == 10) {
            if (holder) *holder = *read_holder(fd);
            ::close(fd);
            return Busy;
        }
        ::usleep(2000);
    }
    static const std::string program = program_name();
    std::string text = std::to_string(::getpid()) + " " + program + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) < 0) {
        // The lock holds all the same; only the holder's name is missing.
    }
    fd_ = fd;
    return Taken;
}

// Closing, not unlocking: a child forked meanwhile shares the lock and must not drop it for us.
void Claim::release() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

std::optional<Holder> holder(const std::string& serial) {
    std::string dir = state_dir();
    if (dir.empty()) return std::nullopt;
    int fd = ::open(path(dir, serial, ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<Holder> h;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        h = read_holder(fd);
    ::close(fd);
    return h;
}

std::optional<Saved> load(const std::string& serial) {
    std::string dir = state_dir();
    if (dir.empty()) return std::nullopt;
    std::ifstream in(path(dir, serial, ".state"));
    if (!in) return std::nullopt;
    Saved s;
    int found = 0;
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        char* end = nullptr;
        double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0') return std::nullopt;
        if (key == "cooler_on") s.cooler_on = v != 0.0;
        else if (key == "target") s.target = static_cast<long>(v);
        else if (key == "temperature") s.temperature = v;
        else if (key == "time") s.time = v;
        else if (key == "writer") s.writer = static_cast<long>(v);
        else continue;
        ++found;
    }
    if (found != 5 || !(s.temperature > -100.0 && s.temperature < 100.0)) return std::nullopt;
    return s;
}

void save(const std::string& serial, const Saved& s) {
    std::string dir = state_dir();
    if (dir.empty()) return;
    char text[256];
    int n = std::snprintf(text, sizeof text, "cooler_on=%d\ntarget=%ld\ntemperature=%.6f\ntime=%.6f\nwriter=%ld\n",
                          s.cooler_on ? 1 : 0, s.target, s.temperature, s.time, s.writer);
    std::string final_path = path(dir, serial, ".state");
    std::string tmp = final_path + "." + std::to_string(::getpid()) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = ::write(fd, text, static_cast<std::size_t>(n)) == n;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), final_path.c_str()) != 0) ::unlink(tmp.c_str());
}

void forget(const std::string& serial) {
    std::string dir = state_dir();
    if (dir.empty() || holder(serial)) return;
    ::unlink(path(dir, serial, ".state").c_str());
}

}  // namespace camsim::machine

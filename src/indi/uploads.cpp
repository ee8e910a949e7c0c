#include "uploads.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace uploads {

namespace {

std::string resolved_root() {
    const char *chosen = std::getenv("ORLICAM_INDI_UPLOAD_ROOT");
    if (chosen == nullptr || *chosen == '\0') chosen = std::getenv("HOME");
    std::string path = chosen && *chosen ? chosen : ".";
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) != nullptr) return real;
    return path;     // missing: every save then fails, saying so
}

std::vector<std::string> components(const std::string &path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { if (fd >= 0) close(fd); }
    void reset(int f) { if (fd >= 0) close(fd); fd = f; }
};

// The next free index for names <head>NNN<tail> in the folder: one more than the largest there.
int next_index(int dir_fd, const std::string &head, const std::string &tail) {
    int copy = dup(dir_fd);
    if (copy < 0) return -1;
    DIR *dir = fdopendir(copy);
    if (dir == nullptr) {
        close(copy);
        return -1;
    }
    rewinddir(dir);            // the copy shares its offset with the folder's descriptor: start over
    int largest = 0;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
            name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
            continue;
        std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        largest = std::max(largest, std::atoi(digits.c_str()));
    }
    closedir(dir);
    return largest + 1;
}

}  // namespace

const std::string &root() {
    static const std::string path = resolved_root();
    return path;
}

bool folder_below_root(const std::string &asked, std::string &relative, std::string &error) {
    std::string rest = asked;
    if (!asked.empty() && asked[0] == '/') {
        // Compared component by component, so that /home/observer2 is not below /home/observer.
        const std::vector<std::string> base = components(root()), path = components(asked);
        if (path.size() < base.size() || !std::equal(base.begin(), base.end(), path.begin())) {
            error = "'" + asked + "' is outside the upload folder " + root();
            return false;
        }
        rest.clear();
        for (std::size_t i = base.size(); i < path.size(); ++i) rest += (rest.empty() ? "" : "/") + path[i];
    }
    relative.clear();
    for (const std::string &part : components(rest)) {
        if (part == "..") {
            error = "'" + asked + "' climbs out with '..'; folders must stay below " + root();
            return false;
        }
        if (part == ".") continue;
        relative += (relative.empty() ? "" : "/") + part;
    }
    return true;
}

bool plain_name(const std::string &prefix, std::string &error) {
    if (prefix.empty() || prefix == "." || prefix == ".." || prefix.find('/') != std::string::npos) {
        error = "'" + prefix + "' is not a file name (no '/', not '.' or '..')";
        return false;
    }
    return true;
}

std::shared_ptr<Save> Save::start(std::string folder, std::string prefix, std::string ext,
                                  std::vector<unsigned char> bytes) {
    auto save = std::shared_ptr<Save>(new Save());
    save->folder_ = std::move(folder);
    save->prefix_ = std::move(prefix);
    save->ext_ = std::move(ext);
    save->bytes_ = std::move(bytes);
    save->started_ = std::chrono::steady_clock::now();
    // Detached: a thread stuck in the kernel cannot be joined without stalling the loop; it
    // keeps the object alive until it returns.
    std::thread([save] { save->run(); }).detach();
    return save;
}

std::string Save::result() const {
    std::lock_guard<std::mutex> guard(lock_);
    return result_;
}

double Save::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void Save::finish(State state, std::string result) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        result_ = std::move(result);
    }
    state_ = state;
}

void Save::run() {
    const std::string shown = root() + (folder_.empty() ? "" : "/" + folder_);
    Fd dir(open(root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) return finish(State::Failed, "upload folder " + root() + ": " + std::strerror(errno));
    // One component at a time, never following a link: nothing below the root leads out of it.
    for (const std::string &part : components(folder_)) {
        int next = openat(dir.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(dir.fd, part.c_str(), 0755) != 0 && errno != EEXIST)
                return finish(State::Failed, shown + ": " + std::strerror(errno));
            next = openat(dir.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            const bool not_folder = errno == ELOOP || errno == ENOTDIR;
            return finish(State::Failed, shown + ": " + (not_folder ? "'" + part + "' is not a folder (links are not followed)"
                                                                    : std::string(std::strerror(errno))));
        }
        dir.reset(next);
    }

    std::string name = prefix_;
    if (name.find("ISO8601") != std::string::npos) {
        char stamp[32];
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", &local);
        name = replace_all(name, "ISO8601", stamp);
    }
    const std::string suffix = "." + ext_, pattern = name;
    const std::size_t at = pattern.find("XXX");
    // The next free index; taken again when another writer (a second camera saving to the same
    // folder and prefix) links that name first.
    auto numbered = [&]() -> bool {
        if (at == std::string::npos) return true;
        const int index = next_index(dir.fd, pattern.substr(0, at), pattern.substr(at + 3) + suffix);
        if (index < 0) return false;
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", index);
        name = pattern;
        name.replace(at, 3, digits);
        name += suffix;
        return true;
    };
    if (at == std::string::npos) name += suffix;
    if (!numbered()) return finish(State::Failed, shown + ": " + std::strerror(errno));
    std::string path = shown + "/" + name;

    struct stat existing {};
    for (int tries = 0; at != std::string::npos && tries < 100 &&
                        fstatat(dir.fd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0; ++tries) {
        if (!numbered()) return finish(State::Failed, shown + ": " + std::strerror(errno));
        path = shown + "/" + name;
    }
    if (fstatat(dir.fd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return finish(State::Failed, path + (S_ISREG(existing.st_mode) ? " exists and is not replaced"
                                                                      : " exists and is not a regular file"));

    // Written under a hidden name and linked into place once complete: the file is never seen
    // half written, and an existing one is never replaced.
    static std::atomic<unsigned> serial{0};
    const std::string part = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(serial++) + ".part";
    Fd out(openat(dir.fd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.fd < 0) return finish(State::Failed, path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes_.size() && !abandoned_) {
        ssize_t n = write(out.fd, bytes_.data() + done, bytes_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : ENOSPC;
            unlinkat(dir.fd, part.c_str(), 0);
            return finish(State::Failed, path + ": " + std::strerror(code));
        }
        done += std::size_t(n);
    }
    if (!abandoned_ && fsync(out.fd) != 0) {
        const int code = errno;
        unlinkat(dir.fd, part.c_str(), 0);
        return finish(State::Failed, path + ": " + std::strerror(code));
    }
    out.reset(-1);
    if (abandoned_) {
        unlinkat(dir.fd, part.c_str(), 0);
        return finish(State::Failed, path + ": given up");
    }
    int linked = linkat(dir.fd, part.c_str(), dir.fd, name.c_str(), 0);
    for (int tries = 0; linked != 0 && errno == EEXIST && at != std::string::npos && tries < 100; ++tries) {
        if (!numbered()) break;
        path = shown + "/" + name;
        linked = linkat(dir.fd, part.c_str(), dir.fd, name.c_str(), 0);
    }
    const int code = errno;
    unlinkat(dir.fd, part.c_str(), 0);
    if (linked != 0)
        return finish(State::Failed, path + (code == EEXIST ? " exists and is not replaced" : ": " + std::string(std::strerror(code))));
    finish(State::Done, path);
}

}  // namespace uploads

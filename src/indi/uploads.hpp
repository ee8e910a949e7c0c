// Local uploads (UPLOAD_MODE Local or Both): confined below one folder chosen when the
// driver starts, and written by a worker thread so that a folder that never answers (a
// stalled network mount) or a file that would block (a FIFO) cannot stall the INDI loop.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace uploads {

// The folder local uploads stay below: ORLICAM_INDI_UPLOAD_ROOT, else $HOME, else the
// working directory; resolved (symbolic links and all) on first use.
const std::string &root();

// The folder `asked` names (absolute, or relative to the root), as a path relative to the
// root ("" for the root itself); false with `error` set when it would leave the root.
bool folder_below_root(const std::string &asked, std::string &relative, std::string &error);

// True when `prefix` names a file in the folder (no separators, not "." or "..").
bool plain_name(const std::string &prefix, std::string &error);

// One file being written by its own thread. The INDI loop polls it and gives up on it after a
// deadline; a file given up on is never linked into place.
class Save {
  public:
    enum class State { Running, Done, Failed };

    // Writes `bytes` to <root>/<folder>/<prefix>.<ext>: "XXX" in the prefix becomes the next
    // free three-digit index and "ISO8601" the local time. Existing files are never replaced.
    static std::shared_ptr<Save> start(std::string folder, std::string prefix, std::string ext,
                                       std::vector<unsigned char> bytes);

    State state() const { return state_; }
    // Once Done: the file's absolute path; once Failed: why, one line.
    std::string result() const;
    double seconds() const;
    // Gives up on the file: the thread removes what it wrote and ends when it can.
    void abandon() { abandoned_ = true; }

  private:
    void run();
    void finish(State state, std::string result);

    std::string folder_, prefix_, ext_;
    std::vector<unsigned char> bytes_;
    std::chrono::steady_clock::time_point started_;
    std::atomic<State> state_{State::Running};
    std::atomic<bool> abandoned_{false};
    mutable std::mutex lock_;
    std::string result_;
};

}  // namespace uploads

// One simulated camera per machine, as with hardware: a lock per camera serial, so that
// one process at a time has the camera open, and a small state file so that the cooler
// and the sensor's temperature carry over from one process to the next.
//
// In the state folder ($ORLICAM_SIM_STATE_DIR, else $XDG_RUNTIME_DIR/orlicam-sim, else
// /tmp/orlicam-sim-$UID), per camera serial (16 hex digits):
//   SERIAL.lock   flock()ed while a process has the camera open; it holds "PID PROGRAM\n"
//                 of the last process that took it (so of the holder while it is locked)
//   SERIAL.state  "key=value" lines: cooler_on, target (C), temperature (C), time (Unix
//                 seconds of that temperature), writer (PID); replaced whole by a rename
#pragma once
#include <optional>
#include <string>

namespace camsim::machine {

struct Holder {
    long pid = 0;
    std::string program;
};

struct Saved {
    bool cooler_on = false;
    long target = 0;
    double temperature = 0.0;
    double time = 0.0;  // Unix seconds
    long writer = 0;
};

// The folder, made if missing; empty (said once on stderr) when it cannot be used.
std::string state_dir();

// This process's hold on one camera; released by the kernel if the process dies.
class Claim {
public:
    enum Result { Taken, Busy, NoFolder };
    Claim() = default;
    ~Claim() { release(); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    // Busy: another process has it, *holder says which.
    Result take(const std::string& serial, Holder* holder);
    void release();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Who has the camera open, if a process does (this one included).
std::optional<Holder> holder(const std::string& serial);
std::optional<Saved> load(const std::string& serial);
void save(const std::string& serial, const Saved& saved);
// Drops the saved state unless a process has the camera open.
void forget(const std::string& serial);
double unix_seconds();

}  // namespace camsim::machine

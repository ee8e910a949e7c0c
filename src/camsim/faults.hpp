// The faults the simulator plays, as data: a schedule parsed once from one text
// (ORLICAM_SIM_FAULTS or the set_faults control), and the log of what was played.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

struct Fault {
    enum class Kind { Unplug, Fail, Hang, VideoTimeout, Glitch };
    Kind kind = Kind::Fail;
    int camera = 0;  // the camera's number in the connected list at load time
    // Unplug and video-timeout start at a time (seconds after the schedule was set) or
    // once a count (ended exposures; fetched video frames) is reached.
    std::optional<double> at;
    std::optional<long> after;
    std::optional<double> duration;  // unset: for good (unplug), until stopped (hang)
    // Fail, hang and glitch pick exposures: listed ones, every n-th, or with a probability.
    std::vector<long> exposures;
    std::vector<long> frames;  // glitch: video frames (1-based, as fetched) picked instead
    long every = 0;
    std::optional<double> p;
    bool zero = false;  // glitch: rows zeroed rather than shifted
    int rule = 0;       // the item's place in the schedule, so that p draws differ per rule
};

struct FaultPlan {
    std::uint64_t seed = 1;
    std::vector<Fault> faults;
};

// Nullopt and *error (one line) when the text does not read; `cameras` is how many are connected.
std::optional<FaultPlan> parse_faults(std::string_view text, int cameras, std::string* error);

// Whether a fail, hang or glitch rule picks the 1-based exposure.
bool picks(const Fault& f, std::uint64_t seed, long exposure);
// A number in [0, 1) drawn from the seed and the given values, the same every run.
double draw(std::uint64_t seed, std::uint64_t a, std::uint64_t b, std::uint64_t c);

// What was played, process-wide; a leaf lock (taken after any camera's).
class FaultLog {
public:
    struct Entry {
        double seconds;
        int camera;
        std::string what;
    };
    static FaultLog& get();
    // A new schedule: the clock starts again and the log empties.
    void restart();
    double elapsed() const;  // seconds since restart()
    double origin() const;   // real_seconds() at restart()
    void add(int camera, std::string what);
    void add_at(double seconds, int camera, std::string what);
    // One "seconds<TAB>camera<TAB>what" line per entry, in time order.
    std::string dump() const;

    void lock_for_fork() { mu_.lock(); }
    void unlock_after_fork() { mu_.unlock(); }

private:
    mutable std::mutex mu_;
    double origin_ = 0.0;
    std::vector<Entry> entries_;
};

}  // namespace camsim

// The connected cameras and the process-wide answers (SDK version), chosen at
// load from ORLICAM_SIM_CAMERAS and changed by the test controls.
#pragma once
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera.hpp"
#include "faults.hpp"

namespace camsim {

class Library {
public:
    static constexpr const char* kDefaultSdkVersion = "1.37.0 (orlicam simulator)";

    static Library& get();

    // Null when id names no camera; an unplugged camera is still found (Camera::removed()).
    // Camera ids are the cameras' numbers at connection and stay with them; indexes are
    // places in the list of the cameras plugged in now.
    std::shared_ptr<Camera> camera(int id);
    std::shared_ptr<Camera> camera_at(int index);
    int count();
    std::vector<std::string> connected_keys() const;

    // False (and nothing changes) when a key names no model.
    bool configure(const std::vector<std::string>& keys);
    // Every camera back to its state at connection, and every test control to its default;
    // the fault schedule is ORLICAM_SIM_FAULTS again.
    void reset();

    // Replaces the fault schedule (an empty text: none), restarting its clock and log; an
    // unplugged camera comes back at once. False and *error when the text does not read.
    // restart_log false keeps the log and its clock (clearing the schedule).
    bool set_faults(std::string_view text, std::string* error, bool restart_log = true);

    const char* sdk_version() const { return sdk_version_.load(); }
    // Null raw: ASIGetSDKVersion returns a null pointer.
    void set_sdk_version(const char* raw, std::size_t len);

private:
    Library();
    // fork(): every simulator lock is held across it, so the child finds each one free and
    // its state whole; the child then forgets the threads it did not inherit.
    static void before_fork();
    static void after_fork_parent();
    static void after_fork_child();
    void connect();  // fresh cameras for models_
    void play(FaultPlan plan, bool restart_log);
    void faults_from_environment();
    // Plays the unplugs and returns that are due; the caller holds mu_.
    void tick();

    struct Unplug {
        Fault rule;
        enum { Waiting, Out, Done } state = Waiting;
        double out_at = 0.0;  // seconds on the fault log's clock
    };

    mutable std::mutex mu_;
    std::vector<const Model*> models_;
    std::vector<std::shared_ptr<Camera>> cameras_;  // by id
    std::vector<int> order_;                        // ids of the plugged cameras, by index
    std::vector<Unplug> unplugs_;
    std::string reported_;  // the last bad ORLICAM_SIM_FAULTS message, said once
    std::deque<std::string> versions_;  // every text handed out stays valid: callers keep the pointer
    std::atomic<const char*> sdk_version_{kDefaultSdkVersion};
};

}  // namespace camsim

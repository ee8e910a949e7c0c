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

namespace camsim {

class Library {
public:
    static constexpr const char* kDefaultSdkVersion = "1.37.0 (orlicam simulator)";

    static Library& get();

    // Null when id does not name a connected camera.
    std::shared_ptr<Camera> camera(int id) const;
    int count() const;
    std::vector<std::string> connected_keys() const;

    // False (and nothing changes) when a key names no model.
    bool configure(const std::vector<std::string>& keys);
    // Every camera back to its state at connection, and every test control to its default.
    void reset();

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

    mutable std::mutex mu_;
    std::vector<const Model*> models_;
    std::vector<std::shared_ptr<Camera>> cameras_;
    std::deque<std::string> versions_;  // every text handed out stays valid: callers keep the pointer
    std::atomic<const char*> sdk_version_{kDefaultSdkVersion};
};

}  // namespace camsim

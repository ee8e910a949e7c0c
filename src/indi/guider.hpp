// Guide pulses on a camera's ST4 port, ended by a thread of their own: a pulse keeps its length
// whatever keeps the INDI loop busy, and every relay switched on is switched off again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ASICamera2.h"

class Guider {
  public:
    enum Axis { kDeclination = 0, kRightAscension = 1 };

    ~Guider();

    // Ends the axis's running pulse, if any, and starts this one; the SDK's code for the start.
    int start(int camera_id, Axis axis, ASI_GUIDE_DIRECTION direction, std::uint32_t ms);
    // Ends every running pulse at once (the camera closes or is gone); the axes that had one.
    std::vector<Axis> stop_all();

    struct Ended {
        Axis axis;
        int code;     // of the call that switched the relay off
    };
    // The pulses that ended by themselves since the last call, for the loop to report.
    std::vector<Ended> take_ended();
    bool running() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Pulse {
        bool on = false;
        int camera_id = -1;
        ASI_GUIDE_DIRECTION direction = ASI_GUIDE_NORTH;
        Clock::time_point end;
    };
    void run();

    mutable std::mutex lock_;
    std::condition_variable wake_;
    Pulse pulses_[2];
    std::vector<Ended> ended_;
    bool quit_ = false;
    std::thread thread_;
};

#include "guider.hpp"

#include <utility>

Guider::~Guider() {
    stop_all();
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int Guider::start(int camera_id, Axis axis, ASI_GUIDE_DIRECTION direction, std::uint32_t ms) {
    std::lock_guard<std::mutex> guard(lock_);
    Pulse &pulse = pulses_[axis];
    // The opposite relay of the axis goes off first; the same one simply runs on for the new length.
    if (pulse.on && (pulse.direction != direction || pulse.camera_id != camera_id))
        ASIPulseGuideOff(pulse.camera_id, pulse.direction);
    const bool kept = pulse.on && pulse.direction == direction && pulse.camera_id == camera_id;
    pulse.on = false;
    const int code = kept ? ASI_SUCCESS : ASIPulseGuideOn(camera_id, direction);
    if (code != ASI_SUCCESS) return code;
    pulse = {true, camera_id, direction, Clock::now() + std::chrono::milliseconds(ms)};
    if (!thread_.joinable()) thread_ = std::thread(&Guider::run, this);
    wake_.notify_all();
    return ASI_SUCCESS;
}

std::vector<Guider::Axis> Guider::stop_all() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Axis> stopped;
    for (Axis axis : {kDeclination, kRightAscension}) {
        Pulse &pulse = pulses_[axis];
        if (!pulse.on) continue;
        ASIPulseGuideOff(pulse.camera_id, pulse.direction);
        pulse.on = false;
        stopped.push_back(axis);
    }
    ended_.clear();
    return stopped;
}

std::vector<Guider::Ended> Guider::take_ended() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(ended_, {});
}

bool Guider::running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pulses_[0].on || pulses_[1].on;
}

void Guider::run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!quit_) {
        Clock::time_point next = Clock::time_point::max();
        for (const Pulse &pulse : pulses_)
            if (pulse.on) next = std::min(next, pulse.end);
        if (next == Clock::time_point::max()) {
            wake_.wait(guard);
            continue;
        }
        wake_.wait_until(guard, next);
        const auto now = Clock::now();
        for (Axis axis : {kDeclination, kRightAscension}) {
            Pulse &pulse = pulses_[axis];
            if (!pulse.on || pulse.end > now) continue;
            pulse.on = false;
            ended_.push_back({axis, ASIPulseGuideOff(pulse.camera_id, pulse.direction)});
        }
    }
}

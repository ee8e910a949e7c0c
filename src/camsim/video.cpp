#include "video.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <cstring>

namespace camsim {

using std::chrono::steady_clock;
using std::chrono::system_clock;

Video::Video(FrameSource& source, std::size_t frame_bytes, Trigger trigger)
    : source_(source), frame_bytes_(frame_bytes), trigger_(trigger) {
    // Queued frames, the one being rendered, and one being copied out.
    for (std::size_t i = 0; i < kQueueFrames + 2; ++i)
        pool_.push_back(std::make_unique<Frame>(Frame{std::vector<std::uint8_t>(frame_bytes_), {}}));
    thread_ = std::thread([this] { run(); });
}

Video::~Video() { stop(); }

void Video::stop() {
    {
        std::lock_guard lk(mu_);
        stopping_ = true;
    }
    producer_cv_.notify_all();
    consumer_cv_.notify_all();
    stop_cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Video::pause(double seconds) {
    std::unique_lock lk(mu_);
    return !stop_cv_.wait_for(lk, std::chrono::duration<double>(std::max(0.0, seconds)), [&] { return stopping_; });
}

int Video::dropped() const {
    std::lock_guard lk(mu_);
    return dropped_;
}

long long Video::produced() const {
    std::lock_guard lk(mu_);
    return produced_;
}

void Video::edge() {
    auto now = steady_clock::now();
    {
        std::lock_guard lk(mu_);
        if (!events_.empty() || exposing_ || now < exposing_until_) return;  // the sensor is busy
        events_.push_back({now, system_clock::now(), now, true});
    }
    producer_cv_.notify_all();
}

void Video::level(bool on) {
    {
        std::lock_guard lk(mu_);
        bool open = !events_.empty() && !events_.back().end;
        if (on && !open && events_.size() < kMaxEvents)
            events_.push_back({steady_clock::now(), system_clock::now(), std::nullopt, false});
        if (!on && open) events_.back().end = steady_clock::now();
    }
    producer_cv_.notify_all();
}

bool Video::next_event(Event& e) {
    std::unique_lock lk(mu_);
    producer_cv_.wait(lk, [&] { return stopping_ || (!events_.empty() && events_.front().end); });
    if (stopping_) return false;
    e = events_.front();
    events_.pop_front();
    exposing_ = e.control_timed;
    return true;
}

std::unique_ptr<Video::Frame> Video::take_frame() {
    std::lock_guard lk(mu_);
    if (pool_.empty())  // only when several callers hold frames at once
        return std::make_unique<Frame>(Frame{std::vector<std::uint8_t>(frame_bytes_), {}});
    auto f = std::move(pool_.back());
    pool_.pop_back();
    return f;
}

void Video::publish(std::unique_ptr<Frame> f) {
    if (queue_.size() >= kQueueFrames) {  // nobody fetched it in time
        pool_.push_back(std::move(queue_.front()));
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(std::move(f));
    ++produced_;
    consumer_cv_.notify_one();
}

void Video::run() {
    // The default timer slack (50 us) would make every paced frame late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    try {
        produce();
    } catch (...) {
        // Out of memory for a frame: the stream ends, waiting readers time out.
    }
}

void Video::produce() {
    for (;;) {
        SteadyTime start = steady_clock::now();
        auto wall = system_clock::now();
        long exposure_us = -1;
        if (trigger_ != Trigger::Free) {
            Event e;
            if (!next_event(e)) return;
            start = e.start;
            wall = e.wall;
            if (!e.control_timed)
                exposure_us = std::max<long>(
                    1, std::chrono::duration_cast<std::chrono::microseconds>(*e.end - e.start).count());
        }
        {
            std::lock_guard lk(mu_);
            if (stopping_) return;
        }
        std::optional<Shot> shot = source_.begin_shot(*this, exposure_us, wall);
        // The region may only change once this capture is out of the camera; a shot of
        // another size would be written past the end of this capture's frames.
        if (!shot || camsim::frame_bytes(shot->req) != frame_bytes_) return;
        if (trigger_ == Trigger::Edge) {
            std::lock_guard lk(mu_);
            exposing_ = false;
            exposing_until_ = start + std::chrono::microseconds(shot->req.exposure_us);
        }
        auto frame = take_frame();
        source_.render(shot->req, frame->data.data());  // while the exposure runs
        frame->gps = shot->gps;
        std::unique_lock lk(mu_);
        if (paced()) {
            auto ready = start + std::chrono::duration_cast<steady_clock::duration>(
                                     std::chrono::duration<double>(shot->period_s));
            if (producer_cv_.wait_until(lk, ready, [&] { return stopping_; })) return;
        } else {
            // Flat out: ready once rendered; wait for room rather than render frames only to drop them.
            room_wanted_ = true;
            producer_cv_.wait(lk, [&] { return stopping_ || queue_.size() < kQueueFrames; });
            room_wanted_ = false;
            if (stopping_) return;
        }
        publish(std::move(frame));
    }
}

int Video::fetch(std::uint8_t* out, int wait_ms, ASI_GPS_DATA* gps) {
    std::unique_lock lk(mu_);
    auto ready = [&] { return stopping_ || !queue_.empty(); };
    if (wait_ms < 0)
        consumer_cv_.wait(lk, ready);
    else
        consumer_cv_.wait_for(lk, std::chrono::milliseconds(wait_ms), ready);
    if (stopping_ || queue_.empty()) return ASI_ERROR_TIMEOUT;
    auto frame = std::move(queue_.front());
    queue_.pop_front();
    lk.unlock();
    std::memcpy(out, frame->data.data(), frame_bytes_);
    if (gps) *gps = frame->gps;
    lk.lock();
    pool_.push_back(std::move(frame));
    // Only a producer waiting for room is woken: a paced one sleeping until its
    // frame is due would wake for nothing, at a cost to both threads every frame.
    bool wake = room_wanted_;
    lk.unlock();
    if (wake) producer_cv_.notify_all();
    return ASI_SUCCESS;
}

}  // namespace camsim

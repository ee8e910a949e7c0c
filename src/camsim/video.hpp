// Video capture: a producer thread renders frames into a small queue that
// ASIGetVideoData drains. Frames come from a pool, so steady streaming allocates nothing.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ASICamera2.h"
#include "renderer.hpp"
#include "settings.hpp"

namespace camsim {

// One frame's settings, taken from the camera when its exposure starts.
struct Shot {
    RenderRequest req;
    std::shared_ptr<const std::vector<std::uint8_t>> dark;  // keeps req.dark_frame alive
    double period_s = 0.0;  // exposure start to frame ready: exposure, or readout if slower
    ASI_GPS_DATA gps{};     // start-line record; zero-filled when there is none
};

class Video;

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // exposure_us < 0: the exposure control's value. Nullopt once `capture` is no longer
    // the source's running capture: a stopping capture starts no other shot.
    virtual std::optional<Shot> begin_shot(const Video& capture, long exposure_us,
                                           std::chrono::system_clock::time_point start) = 0;
    virtual void render(const RenderRequest& req, std::uint8_t* out) = 0;
};

class Video {
public:
    enum class Trigger { Free, Edge, Level };
    static constexpr std::size_t kQueueFrames = 2;
    // Trigger events waiting for the producer; more are ignored, as a sensor would.
    static constexpr std::size_t kMaxEvents = 4;

    Video(FrameSource& source, std::size_t frame_bytes, Trigger trigger);
    ~Video();
    Video(const Video&) = delete;
    Video& operator=(const Video&) = delete;

    // Joins the producer and wakes every waiting fetch.
    void stop();

    // Copies the oldest queued frame into out (frame_bytes() bytes). ASI_ERROR_TIMEOUT when
    // none came within wait_ms (negative: forever) or the capture stopped meanwhile.
    int fetch(std::uint8_t* out, int wait_ms, ASI_GPS_DATA* gps);

    // Waits this long, or until the capture stops (then false); frames keep coming meanwhile.
    bool pause(double seconds);

    std::size_t frame_bytes() const { return frame_bytes_; }
    int dropped() const;
    long long produced() const;

    // Trigger inputs: an edge exposes one frame for the exposure control's time;
    // a level exposes for as long as it is on. An edge that comes while an edge-started
    // exposure runs (or one is already pending) is ignored.
    void edge();
    void level(bool on);

private:
    struct Frame {
        std::vector<std::uint8_t> data;
        ASI_GPS_DATA gps{};
    };
    struct Event {
        SteadyTime start;
        std::chrono::system_clock::time_point wall;
        std::optional<SteadyTime> end;  // level events: set when the level goes off
        bool control_timed;             // edge events: the exposure control sets the length
    };

    void run();
    void produce();
    bool next_event(Event& e);  // false when stopping
    std::unique_ptr<Frame> take_frame();
    void publish(std::unique_ptr<Frame> f);  // caller holds mu_

    FrameSource& source_;
    const std::size_t frame_bytes_;
    const Trigger trigger_;

    mutable std::mutex mu_;
    std::condition_variable producer_cv_;
    std::condition_variable consumer_cv_;
    std::condition_variable stop_cv_;  // for pause(): a frame's notify_one must reach a fetch
    bool stopping_ = false;
    std::deque<std::unique_ptr<Frame>> queue_;
    std::vector<std::unique_ptr<Frame>> pool_;
    std::deque<Event> events_;
    int dropped_ = 0;
    long long produced_ = 0;
    bool exposing_ = false;        // an edge event was taken and its exposure is being set up
    bool room_wanted_ = false;     // an unpaced producer waits for a fetch to make room
    SteadyTime exposing_until_{};  // end of the running edge-started exposure

    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace camsim

// The driver's video thread: runs a video capture and hands each frame, cropped (and
// binned) to the wanted region, to a sink. It never touches an INDI property; the INDI loop
// reads its last error.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "roi.hpp"

class VideoPump {
  public:
    using Sink = std::function<void(const unsigned char *data, std::size_t size)>;

    ~VideoPump() { finish(); }

    // Starts the camera's video capture and the reading thread; the SDK code on failure, or
    // ASI_ERROR_VIDEO_MODE_ACTIVE while the stream before is still ending.
    int start(int camera_id, const roi::Plan &plan, const roi::Rect &want, int bytes_per_pixel,
              const roi::Binning &binning, double exposure_s, Sink sink);
    // Asks the reading and the capture to stop, and returns at once: the reader may be waiting
    // seconds for a long exposure's frame, and the INDI loop must not wait with it. Safe to call
    // when not running, and from the sink (the stream manager stops a recording that has its
    // frames from inside newFrame).
    void stop();
    // Stops and waits until the reader has ended (the camera is about to close).
    void finish();
    // Joins the threads of a stream that has ended; never waits.
    void reap();
    // True until the reader of the last stream has ended.
    bool running() const { return running_; }

    // The failure that ended the stream, once; empty when none.
    std::string take_error();

  private:
    void run();
    void run_frames();

    int id_ = -1;
    roi::Plan plan_{};
    roi::Rect want_{};
    int bpp_ = 1;
    roi::Binning binning_{};
    int wait_ms_ = 1000;
    Sink sink_;
    std::vector<unsigned char> raw_, cropped_;
    std::atomic<bool> stop_{false}, running_{false};
    std::thread thread_, waker_;
    std::mutex error_lock_;
    std::string error_;
};

#include "video_pump.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ASICamera2.h"
#include "asi_errors.hpp"

int VideoPump::start(int camera_id, const roi::Plan &plan, const roi::Rect &want, int bytes_per_pixel,
                     const roi::Binning &binning, double exposure_s, Sink sink) {
    reap();
    if (running_) return ASI_ERROR_VIDEO_MODE_ACTIVE;
    id_ = camera_id;
    plan_ = plan;
    want_ = want;
    bpp_ = bytes_per_pixel;
    binning_ = binning;
    // Long enough for one exposure and its transfer, short enough to see a stop request.
    wait_ms_ = static_cast<int>(std::lround(std::min(exposure_s * 2000.0 + 500.0, 5000.0)));
    sink_ = std::move(sink);
    raw_.resize(std::size_t(plan.camera.width) * plan.camera.height * bpp_);
    cropped_.resize(plan.camera == want && plan.factor == 1 ? 0 : std::size_t(want.width) * want.height * bpp_);
    {
        std::lock_guard<std::mutex> guard(error_lock_);
        error_.clear();
    }
    int code = ASIStartVideoCapture(id_);
    if (code != ASI_SUCCESS) return code;
    stop_ = false;
    running_ = true;
    thread_ = std::thread(&VideoPump::run, this);
    return ASI_SUCCESS;
}

void VideoPump::stop() {
    if (!thread_.joinable() || stop_.exchange(true)) return;
    if (std::this_thread::get_id() == thread_.get_id()) return;    // run() ends the capture on its way out
    // Stopping the capture wakes the reader's wait; from a thread of its own, as the camera
    // may take its time to answer.
    if (waker_.joinable()) waker_.join();
    waker_ = std::thread([id = id_] { ASIStopVideoCapture(id); });
}

void VideoPump::finish() {
    stop();
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
    if (waker_.joinable()) waker_.join();
}

void VideoPump::reap() {
    if (running_) return;
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
    if (waker_.joinable()) waker_.join();
}

std::string VideoPump::take_error() {
    std::lock_guard<std::mutex> guard(error_lock_);
    return std::exchange(error_, {});
}

void VideoPump::run() {
    run_frames();
    ASIStopVideoCapture(id_);
    running_ = false;
}

void VideoPump::run_frames() {
    while (!stop_) {
        int code = ASIGetVideoData(id_, raw_.data(), static_cast<long>(raw_.size()), wait_ms_);
        if (code == ASI_ERROR_TIMEOUT) continue;      // a slow frame; the stop flag is checked again
        if (code != ASI_SUCCESS) {
            std::lock_guard<std::mutex> guard(error_lock_);
            error_ = std::string("video frame not read: ") + asi::describe(code);
            return;
        }
        if (cropped_.empty()) {
            sink_(raw_.data(), raw_.size());
        } else {
            roi::extract(raw_.data(), plan_, want_, bpp_, binning_, cropped_.data());
            sink_(cropped_.data(), cropped_.size());
        }
    }
}

// Native reference for bench/video.py: the same ASICamera2 calls that
// korvi.get_video_data and korvi.get_dropped_frames make, straight from C++.
//
//   video_loop stream INDEX WIDTH HEIGHT BIN IMG_TYPE BYTES EXPOSURE_US BANDWIDTH HIGH_SPEED WARMUP FRAMES WAIT_MS
//   video_loop calls INDEX COUNT REPEATS
//
// Each frame gets a fresh zero-filled buffer, as a new bytearray is for the module.
// Prints one line of key=value pairs; exits non-zero with a message on any SDK error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "ASICamera2.h"

namespace {

void check(int code, const char* what) {
    if (code != ASI_SUCCESS) {
        std::fprintf(stderr, "video_loop: %s returned %d\n", what, code);
        std::exit(1);
    }
}

long arg(char** argv, int i) { return std::stol(argv[i]); }

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int open_camera(int index) {
    if (index >= ASIGetNumOfConnectedCameras()) {
        std::fprintf(stderr, "video_loop: no camera at index %d\n", index);
        std::exit(1);
    }
    ASI_CAMERA_INFO info{};
    check(ASIGetCameraProperty(&info, index), "ASIGetCameraProperty");
    check(ASIOpenCamera(info.CameraID), "ASIOpenCamera");
    check(ASIInitCamera(info.CameraID), "ASIInitCamera");
    return info.CameraID;
}

int stream(char** argv) {
    int cam = open_camera(static_cast<int>(arg(argv, 2)));
    int width = static_cast<int>(arg(argv, 3)), height = static_cast<int>(arg(argv, 4));
    int bin = static_cast<int>(arg(argv, 5)), img_type = static_cast<int>(arg(argv, 6));
    long size = arg(argv, 7);
    long exposure = arg(argv, 8), bandwidth = arg(argv, 9), high_speed = arg(argv, 10);
    long warmup = arg(argv, 11), frames = arg(argv, 12);
    int wait_ms = static_cast<int>(arg(argv, 13));

    check(ASISetROIFormat(cam, width, height, bin, img_type), "ASISetROIFormat");
    check(ASISetControlValue(cam, ASI_EXPOSURE, exposure, ASI_FALSE), "ASISetControlValue(exposure)");
    check(ASISetControlValue(cam, ASI_BANDWIDTHOVERLOAD, bandwidth, ASI_FALSE), "ASISetControlValue(bandwidth)");
    check(ASISetControlValue(cam, ASI_HIGH_SPEED_MODE, high_speed, ASI_FALSE), "ASISetControlValue(high speed)");
    check(ASIStartVideoCapture(cam), "ASIStartVideoCapture");

    auto fetch = [&] {
        std::vector<unsigned char> frame(static_cast<std::size_t>(size));
        check(ASIGetVideoData(cam, frame.data(), size, wait_ms), "ASIGetVideoData");
    };
    for (long i = 0; i < warmup; ++i) fetch();
    double cpu0 = thread_cpu_seconds();
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < frames; ++i) fetch();
    double elapsed = seconds_since(t0);
    double cpu = thread_cpu_seconds() - cpu0;

    int dropped = 0;
    check(ASIGetDroppedFrames(cam, &dropped), "ASIGetDroppedFrames");
    check(ASIStopVideoCapture(cam), "ASIStopVideoCapture");
    check(ASICloseCamera(cam), "ASICloseCamera");
    std::printf("frames=%ld seconds=%.9f cpu_seconds=%.9f dropped=%d\n", frames, elapsed, cpu, dropped);
    return 0;
}

int calls(char** argv) {
    int cam = open_camera(static_cast<int>(arg(argv, 2)));
    long count = arg(argv, 3), repeats = arg(argv, 4);
    double best = 1e300;
    for (long r = 0; r < repeats; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < count; ++i) {
            int dropped = 0;
            check(ASIGetDroppedFrames(cam, &dropped), "ASIGetDroppedFrames");
        }
        double elapsed = seconds_since(t0);
        if (elapsed < best) best = elapsed;
    }
    check(ASICloseCamera(cam), "ASICloseCamera");
    std::printf("calls=%ld seconds=%.9f\n", count, best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "stream" && argc == 14) return stream(argv);
    if (mode == "calls" && argc == 5) return calls(argv);
    std::fprintf(stderr,
                 "usage: video_loop stream INDEX WIDTH HEIGHT BIN IMG_TYPE BYTES EXPOSURE_US BANDWIDTH "
                 "HIGH_SPEED WARMUP FRAMES WAIT_MS\n"
                 "       video_loop calls INDEX COUNT REPEATS\n");
    return 2;
}

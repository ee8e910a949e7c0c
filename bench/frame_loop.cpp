// Native frame loops that the benchmarks load into their own process with ctypes, so
// that the C++ reference shares the Python side's simulator, scheduler and caches.
//
// frame_loop: one camera, already opened and set up by the caller, streamed for a
// number of frames, a fresh zero-filled buffer per frame (as a new bytearray is).
// frame_threads: one thread per camera, each streaming until a common deadline.
// Both return 0 or the first SDK error code; ctypes releases the GIL around them.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "ASICamera2.h"

namespace {

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int fetch(int cam, long size, int wait_ms) {
    std::vector<unsigned char> frame(static_cast<std::size_t>(size));
    return ASIGetVideoData(cam, frame.data(), size, wait_ms);
}

}  // namespace

extern "C" int frame_loop(int cam, long size, long warmup, long frames, int wait_ms, double* seconds,
                          double* cpu_seconds) {
    int code = ASIStartVideoCapture(cam);
    if (code != ASI_SUCCESS) return code;
    for (long i = 0; i < warmup && code == ASI_SUCCESS; ++i) code = fetch(cam, size, wait_ms);
    double cpu0 = thread_cpu_seconds();
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < frames && code == ASI_SUCCESS; ++i) code = fetch(cam, size, wait_ms);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    *cpu_seconds = thread_cpu_seconds() - cpu0;
    int stopped = ASIStopVideoCapture(cam);
    return code != ASI_SUCCESS ? code : stopped;
}

// Each camera opened and set up by the caller; counts[i] gets camera i's frames fetched
// within `seconds` after the first frame of every camera has arrived.
extern "C" int frame_threads(int n, const int* cams, long size, double seconds, int wait_ms, long* counts) {
    std::atomic<int> failure{ASI_SUCCESS}, ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        int code = ASIStartVideoCapture(cams[i]);
        if (code != ASI_SUCCESS) failure = code;
    }
    std::atomic<bool> go{false};
    std::chrono::steady_clock::time_point deadline;
    for (int i = 0; i < n && failure == ASI_SUCCESS; ++i) {
        threads.emplace_back([&, i] {
            int code = fetch(cams[i], size, wait_ms);
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            long count = 0;
            while (code == ASI_SUCCESS && std::chrono::steady_clock::now() < deadline) {
                code = fetch(cams[i], size, wait_ms);
                ++count;
            }
            counts[i] = count;
            if (code != ASI_SUCCESS) failure = code;
        });
    }
    while (ready.load() < static_cast<int>(threads.size())) std::this_thread::yield();
    deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(seconds));
    go = true;
    for (auto& t : threads) t.join();
    for (int i = 0; i < n; ++i) ASIStopVideoCapture(cams[i]);
    return failure;
}

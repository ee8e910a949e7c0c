// Many threads drive both simulated cameras at once: start and stop video, change the
// region, fetch, trigger, snapshot, close, now and then reset the whole library.
// Built with ThreadSanitizer (make tsan) or ASan+UBSan; exits 1 on a fault, a report
// from the sanitizer, or a thread that makes no progress for 30 s.
// Usage: stress [threads] [seconds]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "driver.hpp"

namespace {

class Random final : public drive::Bytes {
public:
    explicit Random(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint8_t next() override {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 7;
        s_ ^= s_ << 17;
        return static_cast<std::uint8_t>(s_ >> 32);
    }

private:
    std::uint64_t s_;
};

void small_regions() {
    for (int cam = 0; cam < 2; ++cam) {
        ASIOpenCamera(cam);
        ASIInitCamera(cam);
        ASISetROIFormat(cam, 64, 48, 1, ASI_IMG_RAW8);
        ASISetControlValue(cam, ASI_EXPOSURE, 200, ASI_FALSE);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    camsim_reset();
    small_regions();

    std::atomic<bool> done{false}, failed{false};
    std::vector<std::atomic<long long>> steps(static_cast<std::size_t>(threads));
    std::atomic<long long> resets{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            Random rnd(static_cast<std::uint64_t>(t) + 1);
            while (!done.load()) {
                if (!drive::step(rnd, 20)) failed = true;
                if (t == 0 && rnd.below(256) == 0 && rnd.below(8) == 0) {
                    camsim_reset();  // cameras replaced while other threads are inside them
                    small_regions();
                    ++resets;
                }
                ++steps[static_cast<std::size_t>(t)];
            }
        });

    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<long long> last(static_cast<std::size_t>(threads), -1);
    auto last_change = std::chrono::steady_clock::now();
    bool hung = false;
    while (std::chrono::steady_clock::now() < end && !failed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        bool moved = true;
        for (int t = 0; t < threads; ++t) {
            long long now = steps[static_cast<std::size_t>(t)].load();
            if (now == last[static_cast<std::size_t>(t)]) moved = false;
            last[static_cast<std::size_t>(t)] = now;
        }
        if (moved) last_change = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - last_change > std::chrono::seconds(30)) {
            hung = true;
            break;
        }
    }
    if (hung) {
        std::fprintf(stderr, "stress: a thread made no progress for 30 s (deadlock?)\n");
        std::_Exit(1);
    }
    done = true;
    // A thread stuck in a call the watchdog above had no time to see must not hold the join forever.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(60));
        std::fprintf(stderr, "stress: the threads did not finish within 60 s of the end (deadlock?)\n");
        std::_Exit(1);
    }).detach();
    for (auto& th : pool) th.join();
    long long total = 0;
    for (auto& s : steps) total += s.load();
    camsim_reset();
    std::printf("stress: %d threads, %.0f s, %lld calls, %lld library resets: %s\n", threads, seconds, total,
                resets.load(), failed ? "FAILED" : "ok");
    return failed ? 1 : 0;
}

// What tests can do to the vendor entry points: record calls, fail the next calls
// with a code, or force the next call's outputs. Process-wide, thread-safe.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "functions.hpp"

namespace camsim {

// An out-parameter of an entry point, as forced outputs see it. A buffer gets at most
// `size` bytes of its forced data and keeps the rest; a record is zero-filled past its data.
struct Out {
    void* ptr;
    std::size_t size;
    bool buffer;
};

struct LoggedArg {
    enum Kind { Int, Bytes, None } kind = Int;
    long long value = 0;
    std::string bytes;
};

class Hooks {
public:
    static constexpr std::size_t kMaxCalls = 10000;

    static Hooks& get();

    bool recording() const { return recording_.load(std::memory_order_relaxed); }
    void set_recording(bool on);
    void record(Fn fn, std::vector<LoggedArg> args);
    // One Python literal `('ASIName', (args...))` per line.
    std::string dump_calls() const;
    void clear_calls();

    void fail_next(Fn fn, int code, int times);
    // outputs[i]: the bytes for the call's i-th out-parameter; nullopt zero-fills it.
    void force_outputs(Fn fn, int code, std::vector<std::optional<std::string>> outputs);

    // The injected result of this call, with forced outputs written; nullopt: run the call.
    std::optional<int> intercept(Fn fn, std::span<const Out> outs);

    void reset();

    void lock_for_fork() { mu_.lock(); }
    void unlock_after_fork() { mu_.unlock(); }

private:
    struct Forced {
        int code;
        std::vector<std::optional<std::string>> outputs;
    };
    struct Fault {
        int code = 0;
        int times = 0;
    };
    struct Call {
        Fn fn;
        std::vector<LoggedArg> args;
    };

    std::atomic<bool> recording_{false};
    std::atomic<int> armed_{0};  // pending faults and forced outputs: the fast path skips the lock
    mutable std::mutex mu_;
    std::deque<Call> calls_;
    std::array<Fault, kFunctionCount> faults_{};
    std::array<std::deque<Forced>, kFunctionCount> forced_{};
};

}  // namespace camsim

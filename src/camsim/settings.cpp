#include "settings.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace camsim {
namespace {

std::atomic<std::uint64_t> g_seed{kDefaultSeed};

bool pacing_from_environment() {
    const char* env = std::getenv("ORLICAM_SIM_UNPACED");
    return !(env && std::strcmp(env, "1") == 0);
}

std::atomic<bool> g_paced{paced_by_default()};

// ORLICAM_SIM_TIME_SCALE speeds up the simulated clock from load time on, so that a
// program run in a subprocess (a command-line cool-down, say) need not call the control.
double time_scale_from_environment() {
    const char* env = std::getenv("ORLICAM_SIM_TIME_SCALE");
    if (!env || !*env) return 1.0;
    char* end = nullptr;
    double v = std::strtod(env, &end);
    return (*end == '\0' && v > 0.0 && v <= 1e9) ? v : 1.0;
}

double light_panel_from_environment() {
    const char* env = std::getenv("ORLICAM_SIM_LIGHT_PANEL");
    if (!env || !*env) return 0.0;
    char* end = nullptr;
    double v = std::strtod(env, &end);
    return (*end == '\0' && v >= 0.0 && v <= 1e9) ? v : 0.0;
}

// A number, or two separated by a comma; anything else (or a value past `limit`) is unset.
bool numbers_from_environment(const char* name, double* out, int count, double limit) {
    const char* env = std::getenv(name);
    if (!env || !*env) return false;
    const char* p = env;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        out[i] = std::strtod(p, &end);
        if (end == p || !std::isfinite(out[i]) || std::fabs(out[i]) > limit) return false;
        p = end;
        while (*p == ' ') ++p;
        if (i + 1 < count) {
            if (*p != ',') return false;
            ++p;
        }
    }
    return *p == '\0';
}

void warn_unreadable(const char* name, const char* form) {
    std::fprintf(stderr, "orlicam simulator: %s=%s is not %s; ignoring it\n", name, std::getenv(name), form);
}

std::pair<double, double> drift_from_environment() {
    double v[2] = {0.0, 0.0};
    if (numbers_from_environment("ORLICAM_SIM_DRIFT", v, 2, 1e6)) return {v[0], v[1]};
    if (const char* env = std::getenv("ORLICAM_SIM_DRIFT"); env && *env)
        warn_unreadable("ORLICAM_SIM_DRIFT", "two numbers \"dx,dy\" (pixels per second)");
    return {0.0, 0.0};
}

double rotation_from_environment() {
    double v = 0.0;
    if (numbers_from_environment("ORLICAM_SIM_ROTATION", &v, 1, 1e6)) return v;
    if (const char* env = std::getenv("ORLICAM_SIM_ROTATION"); env && *env)
        warn_unreadable("ORLICAM_SIM_ROTATION", "a number (degrees per second)");
    return 0.0;
}

struct SimClock {
    std::mutex mu;
    double real_base = 0.0;
    double sim_base = 0.0;
    double scale = time_scale_by_default();
};

SimClock& sim_clock() {
    static SimClock* clock = new SimClock();  // never destroyed: threads may read it at exit
    return *clock;
}

SteadyTime origin() {
    static const SteadyTime t = std::chrono::steady_clock::now();
    return t;
}

}  // namespace

std::uint64_t seed() { return g_seed.load(std::memory_order_relaxed); }
void set_seed(std::uint64_t s) { g_seed.store(s, std::memory_order_relaxed); }

bool paced() { return g_paced.load(std::memory_order_relaxed); }
void set_paced(bool on) { g_paced.store(on, std::memory_order_relaxed); }
bool paced_by_default() {
    static const bool on = pacing_from_environment();
    return on;
}

double time_scale_by_default() {
    static const double scale = time_scale_from_environment();
    return scale;
}

double light_panel_by_default() {
    static const double rate = light_panel_from_environment();
    return rate;
}

std::pair<double, double> drift_by_default() {
    static const std::pair<double, double> drift = drift_from_environment();
    return drift;
}

double rotation_by_default() {
    static const double rate = rotation_from_environment();
    return rate;
}

double to_seconds(SteadyTime t) { return std::chrono::duration<double>(t - origin()).count(); }
double real_seconds() { return to_seconds(std::chrono::steady_clock::now()); }

double sim_seconds() {
    SimClock& c = sim_clock();
    std::lock_guard lk(c.mu);
    return c.sim_base + (real_seconds() - c.real_base) * c.scale;
}

void lock_clock_for_fork() { sim_clock().mu.lock(); }
void unlock_clock_after_fork() { sim_clock().mu.unlock(); }

double time_scale() {
    SimClock& c = sim_clock();
    std::lock_guard lk(c.mu);
    return c.scale;
}

void set_time_scale(double scale) {
    SimClock& c = sim_clock();
    std::lock_guard lk(c.mu);
    double now = real_seconds();
    // Rebase so the simulated clock stays continuous across a change of pace.
    c.sim_base += (now - c.real_base) * c.scale;
    c.real_base = now;
    c.scale = scale > 0.0 ? scale : 1.0;
}

}  // namespace camsim

// Process-wide simulator settings that every camera reads: the noise seed and
// the simulated clock (real steady time, sped up by the time scale).
#pragma once
#include <chrono>
#include <cstdint>
#include <utility>

namespace camsim {

using SteadyTime = std::chrono::steady_clock::time_point;

inline constexpr std::uint64_t kDefaultSeed = 1;

std::uint64_t seed();
void set_seed(std::uint64_t seed);

// Seconds on the simulated clock. Only slow physics (cooling) runs on it, so a test
// can watch a sensor cool without changing exposure or guiding timings.
double sim_seconds();
void set_time_scale(double scale);
double time_scale();
// The time scale at load time: ORLICAM_SIM_TIME_SCALE, else 1.
double time_scale_by_default();

// Seconds on the real steady clock since an arbitrary origin.
double real_seconds();
double to_seconds(SteadyTime t);

// Held across fork() so the child's clock lock is free.
void lock_clock_for_fork();
void unlock_clock_after_fork();

// A flat panel's electrons per second per pixel that every camera starts with:
// ORLICAM_SIM_LIGHT_PANEL at load time, else 0 (off), so that a command-line run can take flats.
double light_panel_by_default();

// The star field's motion that every camera starts with, so that a command-line run
// can test drift and field rotation: ORLICAM_SIM_DRIFT="dx,dy" (sensor pixels per
// second) and ORLICAM_SIM_ROTATION (degrees per second) at load time, else none.
std::pair<double, double> drift_by_default();
double rotation_by_default();

// Link pacing: on, a video frame is ready when its exposure and its transfer over the
// modelled link would be done; off, as soon as it is rendered. The default comes from
// ORLICAM_SIM_UNPACED (1: off) when the library loads.
bool paced();
void set_paced(bool on);
bool paced_by_default();

}  // namespace camsim

#include "thermal.hpp"

#include <algorithm>
#include <cmath>

namespace camsim {

void Thermal::advance(double now, bool cooler_on, double target_c) {
    double dt = std::max(0.0, now - last_);
    last_ = now;
    if (!cooler_on) {
        temp_ += (kAmbient - temp_) * (1.0 - std::exp(-dt / kWarmTau));
        power_ = 0;
        return;
    }
    double goal = std::max(target_c, kAmbient - kMaxDelta);
    double step = std::min(std::abs(goal - temp_), kCoolRate * dt);
    temp_ += goal < temp_ ? -step : step;
    // Holding a difference to ambient costs power in proportion; still pulling down costs the rest.
    double effort = (kAmbient - temp_) / kMaxDelta * 100.0;
    if (goal < temp_ - 0.05) effort = 100.0;
    power_ = static_cast<int>(std::lround(std::clamp(effort, 0.0, 100.0)));
}

}  // namespace camsim

// Sensor temperature: a cooler pulls it toward the target at a few degrees per
// minute, no further than kMaxDelta below ambient; without it, it relaxes to ambient.
#pragma once

namespace camsim {

class Thermal {
public:
    static constexpr double kAmbient = 20.0;
    static constexpr double kMaxDelta = 35.0;     // degrees below ambient the cooler can reach
    static constexpr double kCoolRate = 3.0 / 60; // degrees per second with the cooler on
    static constexpr double kWarmTau = 120.0;     // seconds, relaxing without the cooler

    explicit Thermal(double now = 0.0) : last_(now) {}

    // Brings the state up to `now` (simulated seconds) under the given settings;
    // call it before reading and before changing the settings.
    void advance(double now, bool cooler_on, double target_c);

    // Another process left the sensor at `temperature` at simulated time `at`.
    void restore(double temperature, double at) {
        temp_ = temperature;
        last_ = at;
    }

    double temperature() const { return temp_; }
    int power_percent() const { return power_; }

private:
    double last_;
    double temp_ = kAmbient;
    int power_ = 0;
};

}  // namespace camsim

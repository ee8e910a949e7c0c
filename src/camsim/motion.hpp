// Where the star field is on the sensor: guide pulses move it at half the sidereal
// rate, a drift moves it steadily, field rotation (an alt-az mount's) turns it about
// the sensor's centre. Times are real seconds (see settings.hpp).
#pragma once
#include <array>
#include <utility>

namespace camsim {

class StarMotion {
public:
    static constexpr double kGuideRateArcsec = 7.52;  // half sidereal, arcsec per second
    static constexpr double kDefaultFocalMm = 400.0;

    StarMotion(double pixel_um, double now);

    void set_focal_length(double mm, double now);
    void set_drift(double dx, double dy, double now);   // pixels per second
    void set_rotation(double deg_per_s, double now);
    void pulse(int direction, bool on, double now);     // ASI_GUIDE_*; caller validates
    void all_off(double now);

    // Shift in full-resolution sensor pixels: north -y, south +y, east -x, west +x.
    std::pair<double, double> shift(double now) const;
    // Degrees the field has turned about the sensor's centre (see RenderRequest).
    double angle(double now) const;

private:
    void fold(double now);  // moves the motion so far into the base
    double guide_px_per_s() const;

    double pixel_um_;
    double focal_mm_ = kDefaultFocalMm;
    double t0_;
    double base_x_ = 0.0;
    double base_y_ = 0.0;
    double drift_x_ = 0.0;
    double drift_y_ = 0.0;
    double base_angle_ = 0.0;
    double rotation_ = 0.0;  // degrees per second
    std::array<bool, 4> on_{};
};

}  // namespace camsim

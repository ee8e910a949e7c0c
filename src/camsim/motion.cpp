#include "motion.hpp"

namespace camsim {
namespace {
constexpr double kArcsecPerRadianPerMm = 206.265;  // arcsec/px = 206.265 * pixel_um / focal_mm
constexpr double kDirX[4] = {0, 0, -1, 1};         // north, south, east, west
constexpr double kDirY[4] = {-1, 1, 0, 0};
}  // namespace

StarMotion::StarMotion(double pixel_um, double now) : pixel_um_(pixel_um), t0_(now) {}

double StarMotion::guide_px_per_s() const {
    return kGuideRateArcsec / (kArcsecPerRadianPerMm * pixel_um_ / focal_mm_);
}

std::pair<double, double> StarMotion::shift(double now) const {
    double dt = now - t0_;
    double vx = drift_x_, vy = drift_y_;
    for (int d = 0; d < 4; ++d) {
        if (!on_[d]) continue;
        vx += kDirX[d] * guide_px_per_s();
        vy += kDirY[d] * guide_px_per_s();
    }
    return {base_x_ + vx * dt, base_y_ + vy * dt};
}

double StarMotion::angle(double now) const { return base_angle_ + rotation_ * (now - t0_); }

void StarMotion::fold(double now) {
    auto [x, y] = shift(now);
    base_x_ = x;
    base_y_ = y;
    base_angle_ = angle(now);
    t0_ = now;
}

void StarMotion::set_focal_length(double mm, double now) {
    fold(now);
    focal_mm_ = mm;
}

void StarMotion::set_drift(double dx, double dy, double now) {
    fold(now);
    drift_x_ = dx;
    drift_y_ = dy;
}

void StarMotion::set_rotation(double deg_per_s, double now) {
    fold(now);
    rotation_ = deg_per_s;
}

void StarMotion::pulse(int direction, bool on, double now) {
    fold(now);
    on_[direction] = on;
}

void StarMotion::all_off(double now) {
    fold(now);
    on_ = {};
}

}  // namespace camsim

// Regions the camera accepts: widths in multiples of 8, heights in multiples of 2
// (binned pixels), inside the binned sensor. Any other region a client asks for is
// read as the smallest accepted region that covers it and cropped.
#pragma once

#include <algorithm>

namespace roi {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect &) const = default;
};

constexpr int kWidthStep = 8, kHeightStep = 2;

// The largest accepted size along an axis of `sensor` binned pixels.
constexpr int widest(int sensor, int step) { return sensor / step * step; }

// What can be delivered of `want` (binned): inside the sensor and no larger than the
// widest accepted region, which the camera could not cover otherwise.
constexpr Rect fit(Rect want, int sensor_w, int sensor_h) {
    Rect r;
    r.width = std::clamp(want.width, 1, widest(sensor_w, kWidthStep));
    r.height = std::clamp(want.height, 1, widest(sensor_h, kHeightStep));
    r.x = std::clamp(want.x, 0, sensor_w - r.width);
    r.y = std::clamp(want.y, 0, sensor_h - r.height);
    return r;
}

struct Plan {
    Rect camera;    // what the camera reads
    int dx, dy;     // where the wanted region starts inside it
};

// `want` must already be fitted.
constexpr Plan cover(Rect want, int sensor_w, int sensor_h) {
    auto axis = [](int start, int size, int sensor, int step, int &cstart, int &csize) {
        csize = std::min((size + step - 1) / step * step, widest(sensor, step));
        cstart = std::min(start, sensor - csize);   // shift back where rounding up left the sensor
    };
    Plan p{};
    axis(want.x, want.width, sensor_w, kWidthStep, p.camera.x, p.camera.width);
    axis(want.y, want.height, sensor_h, kHeightStep, p.camera.y, p.camera.height);
    p.dx = want.x - p.camera.x;
    p.dy = want.y - p.camera.y;
    return p;
}

// Copies the wanted rows out of the camera's region; bpp bytes per pixel.
inline void crop(const unsigned char *src, const Plan &p, const Rect &want, int bpp, unsigned char *dst) {
    const long src_row = long(p.camera.width) * bpp, dst_row = long(want.width) * bpp;
    const unsigned char *from = src + long(p.dy) * src_row + long(p.dx) * bpp;
    for (int row = 0; row < want.height; ++row)
        std::copy_n(from + row * src_row, dst_row, dst + row * dst_row);
}

}  // namespace roi

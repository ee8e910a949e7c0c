// Regions the camera accepts: widths in multiples of 8, heights in multiples of 2
// (binned pixels), inside the binned sensor. Any other region a client asks for is
// read as the smallest accepted region that covers it and cropped; where none covers it
// at the asked bin (the full 2822 rows of a sensor at bin 2 are 1411 binned rows), it is
// read at a finer bin that divides the asked one and binned the rest of the way here, as
// the Alpaca server does, so that the image is always the region asked for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace roi {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect &) const = default;
};

constexpr int kWidthStep = 8, kHeightStep = 2;

// The largest accepted size along an axis of `sensor` binned pixels.
constexpr int widest(int sensor, int step) { return sensor / step * step; }

// `want` (binned) clipped to the binned sensor.
constexpr Rect clip(Rect want, int sensor_w, int sensor_h) {
    Rect r;
    r.width = std::clamp(want.width, 1, sensor_w);
    r.height = std::clamp(want.height, 1, sensor_h);
    r.x = std::clamp(want.x, 0, sensor_w - r.width);
    r.y = std::clamp(want.y, 0, sensor_h - r.height);
    return r;
}

// What can be delivered of `want` when nothing covers it even at bin 1: inside the sensor
// and no larger than the widest accepted region.
constexpr Rect fit(Rect want, int sensor_w, int sensor_h) {
    Rect r = clip(want, sensor_w, sensor_h);
    r.width = std::min(r.width, widest(sensor_w, kWidthStep));
    r.height = std::min(r.height, widest(sensor_h, kHeightStep));
    r.x = std::clamp(r.x, 0, sensor_w - r.width);
    r.y = std::clamp(r.y, 0, sensor_h - r.height);
    return r;
}

struct Plan {
    Rect camera;          // what the camera reads, in pixels of `camera_bin`
    int dx = 0, dy = 0;   // where the wanted region starts inside it, in the same pixels
    int camera_bin = 1;   // the camera's own binning
    int factor = 1;       // the binning done here on top of it
    bool operator==(const Plan &) const = default;
};

// The shortest run [start', start' + n) with n a multiple of `step`, inside [0, size), that
// covers [start, start + length); false when none fits.
constexpr bool cover_axis(int start, int length, int size, int step, int &cstart, int &csize) {
    csize = (length + step - 1) / step * step;
    if (csize > widest(size, step)) return false;
    cstart = std::min(start, size - csize);
    return true;
}

// The region to read for `want` (pixels of `bin`, inside the sensor at that bin) from a
// sensor of `full_w` x `full_h` pixels: the asked bin first, then finer ones that divide it
// among `bins` (zero-terminated, at most `nbins`). False when none covers it.
inline bool plan(Rect want, int bin, int full_w, int full_h, const int *bins, int nbins, Plan &out) {
    int best = 0;
    for (;;) {
        int camera_bin = 0;     // the largest supported bin below `best` (or any, first) dividing `bin`
        for (int i = 0; i < nbins && bins[i] > 0; ++i)
            if (bin % bins[i] == 0 && (best == 0 || bins[i] < best)) camera_bin = std::max(camera_bin, bins[i]);
        if (camera_bin == 0) return false;
        best = camera_bin;
        const int f = bin / camera_bin;
        Plan p;
        if (cover_axis(want.x * f, want.width * f, full_w / camera_bin, kWidthStep, p.camera.x, p.camera.width) &&
            cover_axis(want.y * f, want.height * f, full_h / camera_bin, kHeightStep, p.camera.y, p.camera.height)) {
            p.dx = want.x * f - p.camera.x;
            p.dy = want.y * f - p.camera.y;
            p.camera_bin = camera_bin;
            p.factor = f;
            out = p;
            return true;
        }
    }
}

// How the pixels of a frame are binned here: 16-bit data keep the sensor's bits at the
// top of the word, so averages are rounded to whole sensor steps (`unit` = 2^(16 - bits));
// colour raw frames stay a mosaic, each output pixel averaging the pixels of its block that
// have its colour (`bayer` is the sensor's 2x2 pattern as channel numbers, or null).
struct Binning {
    int unit = 1;
    const int *bayer = nullptr;
};

namespace detail {

template <class T>
void extract(const T *src, const Plan &p, const Rect &want, const Binning &b, T *dst) {
    const long src_row = p.camera.width;
    const int f = p.factor;
    if (f == 1) {
        for (int row = 0; row < want.height; ++row)
            std::memcpy(dst + long(row) * want.width, src + (long(p.dy) + row) * src_row + p.dx,
                        sizeof(T) * want.width);
        return;
    }
    // Positions on the sensor, in pixels of the camera's bin and of the asked bin.
    const long y0 = long(want.y) * f, x0 = long(want.x) * f;
    const std::uint64_t top = (std::uint64_t(1) << (8 * sizeof(T))) - 1;
    for (int oy = 0; oy < want.height; ++oy)
        for (int ox = 0; ox < want.width; ++ox) {
            const int wanted = b.bayer ? b.bayer[((want.y + oy) & 1) * 2 + ((want.x + ox) & 1)] : 0;
            std::uint64_t total = 0, count = 0;
            for (int i = 0; i < f; ++i) {
                const long sy = y0 + long(oy) * f + i;
                const T *line = src + (sy - p.camera.y) * src_row;
                for (int j = 0; j < f; ++j) {
                    const long sx = x0 + long(ox) * f + j;
                    if (b.bayer && b.bayer[(sy & 1) * 2 + (sx & 1)] != wanted) continue;
                    total += line[sx - p.camera.x];
                    ++count;
                }
            }
            const std::uint64_t unit = std::uint64_t(b.unit);
            const std::uint64_t steps = (2 * total + count * unit) / (2 * count * unit);
            dst[long(oy) * want.width + ox] = static_cast<T>(std::min(steps * unit, top));
        }
}

}  // namespace detail

// The wanted pixels of the camera's region, binned `p.factor` more; bpp bytes per pixel.
inline void extract(const unsigned char *src, const Plan &p, const Rect &want, int bpp, const Binning &b,
                    unsigned char *dst) {
    if (bpp == 2)
        detail::extract(reinterpret_cast<const std::uint16_t *>(src), p, want, b, reinterpret_cast<std::uint16_t *>(dst));
    else
        detail::extract(src, p, want, b, dst);
}

}  // namespace roi

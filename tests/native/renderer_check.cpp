// Checks of the simulated sensor and the BMP dark reader/writer.
// Usage: renderer_check [scratch-directory]. Prints each failure; exits 1 on any.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "bmp.hpp"
#include "renderer.hpp"

using namespace camsim;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<double>;

static int failures = 0;
static std::string scratch;
#define CHECK(cond, ...)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            ++failures;                                                                   \
            std::printf("FAIL line %d: %s: ", __LINE__, #cond);                           \
            std::printf(__VA_ARGS__);                                                     \
            std::printf("\n");                                                            \
        }                                                                                 \
    } while (0)

static RenderRequest cam(int w, int h, bool colour = false) {
    RenderRequest r;
    r.sensor_width = r.width = w;
    r.sensor_height = r.height = h;
    r.img_type = ASI_IMG_RAW16;
    r.exposure_us = 1000000;
    r.offset = 50;  // bias 800 in 16-bit units
    r.temperature_c = -10;
    r.seed = 7;
    r.color = colour;
    return r;
}
static Bytes raw(const RenderRequest& q) {
    Bytes b(frame_bytes(q));
    Renderer().render(q, b.data());
    return b;
}
static Values decode16(const Bytes& b) {
    Values v(b.size() / 2);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = b[2 * i] | b[2 * i + 1] << 8;
    return v;
}
static Values px(const RenderRequest& q) {  // RAW16 decoded, other formats byte by byte
    const Bytes b = raw(q);
    return q.img_type == ASI_IMG_RAW16 ? decode16(b) : Values(b.begin(), b.end());
}
static double median(Values v) {
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}
static double mean(const Values& v) { return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()); }

static void sizes_and_determinism() {
    const int types[] = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8}, per[] = {1, 3, 2, 1};
    for (bool col : {false, true})
        for (int t = 0; t < 4; ++t)
            for (int bin : {1, 2, 3, 4}) {
                RenderRequest q = cam(320, 240, col);
                q.bin = bin, q.width = 320 / bin / 8 * 8, q.height = 240 / bin / 2 * 2, q.img_type = types[t];
                const std::size_t n = std::size_t(q.width) * q.height * per[t];
                CHECK(frame_bytes(q) == n, "type %d bin %d: %zu", types[t], bin, frame_bytes(q));
                Bytes b(n + 64, 0xA5);  // the bytes past the frame must stay untouched
                Renderer().render(q, b.data());
                CHECK(std::count(b.begin() + long(n), b.end(), 0xA5) == 64, "type %d bin %d colour %d overran", types[t], bin, col);
            }
    RenderRequest q = cam(640, 480);
    for (int bad : {-1, 4, 99}) {
        q.img_type = bad;
        CHECK(frame_bytes(q) == 0, "img_type %d", bad);
    }
    q.img_type = ASI_IMG_RAW16;
    RenderRequest g = q;
    g.gain = 200;
    Renderer r1;
    Bytes a(frame_bytes(q)), b(a.size()), c(a.size());
    r1.render(q, a.data()), r1.render(g, b.data()), r1.render(q, b.data());  // a settings change in between
    CHECK(a == b && a == raw(q), "same request, different bytes");
    q.frame_index = 1;
    r1.render(q, c.data());
    CHECK(c != a, "frame_index does not change the noise");
    // Two frames differ by pure noise: sqrt(2) x (read 3.5 e-, sky 3 e-/s) x 16 units/e- at gain 0.
    const Values v0 = decode16(a), v1 = decode16(c);
    double s1 = 0, s2 = 0, k = 0, med = median(v0);
    for (std::size_t i = 0; i < v0.size(); ++i)
        if (std::abs(v0[i] - med) < 400) s1 += v1[i] - v0[i], s2 += (v1[i] - v0[i]) * (v1[i] - v0[i]), ++k;
    const double sd = std::sqrt(s2 / k - (s1 / k) * (s1 / k)), want = std::sqrt(2 * (3.5 * 3.5 + 3)) * 16;
    CHECK(std::abs(s1 / k) < 2 && std::abs(sd / want - 1) < 0.15, "noise difference mean %.2f sd %.1f (want %.1f)", s1 / k, sd, want);
    q.seed = 8;
    CHECK(raw(q) != c, "seed does not change the frame");
    // A renderer that follows a moving star field gives the frames a fresh one does.
    for (int k = 0; k < 4; ++k) {
        RenderRequest m = cam(400, 300, k & 1);
        m.bin = k < 2 ? 1 : 2, m.width = 400 / m.bin, m.height = 300 / m.bin, m.flip = k, m.exposure_us = 3000000;
        Renderer follow;
        Bytes f(frame_bytes(m));
        for (double x : {0.0, 0.3, 4.6, -7.25}) {
            m.shift_x = x, m.shift_y = x / 2 - 1;
            follow.render(m, f.data());
            CHECK(f == raw(m), "case %d: frame at shift %.2f differs from a fresh render", k, x);
        }
    }
}

static void light_dark_and_levels() {
    RenderRequest light = cam(1280, 960), dark;
    light.exposure_us = 2000000, light.gain = 100;
    (dark = light).dark = true;
    const Values lv = px(light), dv = px(dark);
    const auto bright = [](const Values& v) { return std::count_if(v.begin(), v.end(), [](double x) { return x > 4800; }); };
    CHECK(bright(lv) > 500 && bright(dv) < long(dv.size() / 10000), "bright pixels: light %ld, dark %ld", long(bright(lv)), long(bright(dv)));
    CHECK(std::abs(mean(dv) - 800) < 16, "dark mean %.1f, bias 800", mean(dv));
    dark.shift_x = 13.5, dark.offset = 100;  // no sky in a dark, so no stars to shift; the bias follows the offset
    CHECK(std::abs(mean(px(dark)) - 1600) < 16, "offset 100: dark mean %.1f", mean(px(dark)));
    // The sky above bias grows in proportion to exposure and to 10^(gain/200).
    RenderRequest s = cam(640, 480);
    const auto sky = [&](long us, long gain) { return s.exposure_us = us, s.gain = gain, median(px(s)) - 800; };
    const double s1 = sky(1000000, 100), s01 = sky(100000, 100), s4 = sky(4000000, 100), g3 = sky(1000000, 300);
    CHECK(s01 < s1 && std::abs(s4 / s1 / 4 - 1) < 0.1, "sky %.1f, %.1f, %.1f at 0.1, 1, 4 s", s01, s1, s4);
    CHECK(std::abs(g3 / s1 / 10 - 1) < 0.1, "gain 300 sky %.1f vs gain 100 %.1f", g3, s1);
}

struct Spot { double x, y, fwhm; };
// Centroid in a (2r+1)^2 window, background subtracted, and the FWHM of the
// disc that has the area of the pixels above half the peak.
static Spot centroid(const Values& v, int w, double cx, double cy, int r = 6) {
    const double bg = median(v);
    double sx = 0, sy = 0, sf = 0, peak = 0;
    int half = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int y = int(cy) - r; y <= int(cy) + r; ++y)
            for (int x = int(cx) - r; x <= int(cx) + r; ++x) {
                const double f = v[std::size_t(y) * w + x] - bg;
                if (pass == 0) sx += f * (x + 0.5), sy += f * (y + 0.5), sf += f, peak = std::max(peak, f);
                else half += f > peak / 2;
            }
    return {sx / sf, sy / sf, 2 * std::sqrt(half / M_PI)};
}
// Bright unsaturated peaks with nothing else brighter than 3% of them within 14
// px, wider than a hot pixel; centroids in windows of +-r pixels.
static std::vector<Spot> stars(const Values& v, int w, int h, int r) {
    const double bg = median(v);
    std::vector<Spot> out;
    for (int y = 14; y < h - 14; ++y)
        for (int x = 14; x < w - 14; ++x) {
            const double p = v[std::size_t(y) * w + x], faint = bg + std::max(0.03 * (p - bg), 600.0);
            bool ok = p > bg + 15000 && p < 65000;
            for (int dy = -14; ok && dy <= 14; ++dy)
                for (int dx = -14; ok && dx <= 14; ++dx) {
                    const double q = v[std::size_t(y + dy) * w + x + dx];
                    ok = !(dx || dy) || (std::max(std::abs(dx), std::abs(dy)) <= 6 ? q < p : q <= faint);
                }
            if (ok && centroid(v, w, x, y, r).fwhm > 1.3) out.push_back(centroid(v, w, x, y, r));
        }
    return out;
}

// Star by star errors (sensor pixels) of `other` against `found`: the median per
// axis must be tiny and nearly all stars within 0.2 px (a few pick up a hot
// pixel or a neighbour as the field moves).
static void agree(const std::vector<Spot>& found, const std::function<std::pair<double, double>(const Spot&)>& error, const char* what) {
    Values ex, ey;
    long close = 0;
    for (const Spot& st : found) {
        const auto [dx, dy] = error(st);
        ex.push_back(dx), ey.push_back(dy), close += std::hypot(dx, dy) < 0.2;
    }
    CHECK(found.size() >= 5 && std::abs(median(ex)) < 0.05 && std::abs(median(ey)) < 0.05 && close >= long(found.size() * 8 / 10),
          "%s: %zu stars, median error (%.3f, %.3f), %ld within 0.2 px", what, found.size(), median(ex), median(ey), close);
}

static void star_geometry() {
    // Shifts and field rotation (degrees, about the full sensor's centre) on crops and bins.
    struct Case { double sx, sy; int bin, x0, y0; double deg; };
    for (const Case c : {Case{0, 0, 1, 0, 0, 0}, Case{3.3, -2.7, 1, 0, 0, 0}, Case{-0.45, 0.8, 1, 80, 50, 0}, Case{2.6, -1.3, 2, 13, 0, 0},
                         Case{0, 0, 1, 0, 0, 1.5}, Case{0.4, 0.3, 1, 300, 200, -3}, Case{1.2, -0.7, 2, 13, 9, 2.5}}) {
        RenderRequest q = cam(1600, 1200), f = q;
        q.bin = c.bin, q.width = 1600 / c.bin - c.x0, q.height = 1200 / c.bin - c.y0, q.start_x = c.x0, q.start_y = c.y0;
        q.gain = f.gain = 30, q.exposure_us = f.exposure_us = 2000000;
        const Values base = px(q);
        RenderRequest s = q;
        s.shift_x = c.sx, s.shift_y = c.sy, s.rotation_deg = c.deg, s.frame_index = 5;
        const Values moved = px(s), full = px(f);
        const int r = 6 / c.bin;  // the same window on the sky whatever the bin
        const double cs = std::cos(c.deg * M_PI / 180), sn = std::sin(c.deg * M_PI / 180);
        // Where a star of the crop lands after the move, in the crop's pixels.
        const auto land = [&](const Spot& st) {
            const double x = (st.x + c.x0) * c.bin - 800, y = (st.y + c.y0) * c.bin - 600;
            return std::pair((800 + cs * x - sn * y + c.sx) / c.bin - c.x0, (600 + sn * x + cs * y + c.sy) / c.bin - c.y0);
        };
        std::vector<Spot> found, staying;
        for (const Spot& st : stars(base, q.width, q.height, r)) {
            found.push_back(st);
            const auto [lx, ly] = land(st);
            if (lx > r + 2 && ly > r + 2 && lx < q.width - r - 2 && ly < q.height - r - 2) staying.push_back(st);
        }
        char what[128];
        std::snprintf(what, sizeof what, "shift (%.2f, %.2f) turn %.1f deg bin %d start (%d, %d)", c.sx, c.sy, c.deg, c.bin, c.x0, c.y0);
        agree(staying, [&](const Spot& st) {
            const auto [lx, ly] = land(st);
            const Spot m = centroid(moved, q.width, lx, ly, r);
            if (c.bin == 1) CHECK(m.fwhm > 2 && m.fwhm < 3.6, "%s: moved star FWHM %.2f px", what, m.fwhm);  // sharp, not smeared
            return std::pair((m.x - lx) * c.bin, (m.y - ly) * c.bin);
        }, what);
        // A crop or a bin sees the same sky as the full frame, at the same sensor positions.
        agree(found, [&](const Spot& st) {
            const double fx = (st.x + c.x0) * c.bin, fy = (st.y + c.y0) * c.bin;
            const Spot m = centroid(full, 1600, fx, fy);
            return std::pair(m.x - fx, m.y - fy);
        }, what);
        for (const Spot& st : found)
            if (c.bin == 1) CHECK(st.fwhm > 2 && st.fwhm < 3.6, "FWHM %.2f px", st.fwhm);
        CHECK(std::abs(median(base) - median(full)) < 8, "bin %d sky %.1f vs %.1f", c.bin, median(base), median(full));
    }
}

// Defocus spreads a star's light and keeps all of it: the light of a bright star with
// no neighbour over 2% of its peak, made faint (~25 e-) by a short exposure, summed over
// a box that holds the widest blur. A frame lit by a panel at the sky's rate (same
// noise, no stars) is the reference, so the noise of the sky and the read cancels.
static void defocus_keeps_flux() {
    RenderRequest f = cam(1600, 1200);
    f.exposure_us = 200000;
    const Values v = px(f);
    const double bg = median(v);
    constexpr int kBox = 35, kClear = 70;
    std::vector<std::pair<double, int>> peaks;
    for (int y = kClear; y < 1200 - kClear; ++y)
        for (int x = kClear; x < 1600 - kClear; ++x) {
            const double p = v[std::size_t(y) * 1600 + x];
            if (p > bg + 20000 && p < 60000 && p >= v[std::size_t(y) * 1600 + x - 1] && p >= v[std::size_t(y) * 1600 + x + 1] &&
                p >= v[std::size_t(y - 1) * 1600 + x] && p >= v[std::size_t(y + 1) * 1600 + x])
                peaks.push_back({p - bg, y * 1600 + x});
        }
    std::sort(peaks.rbegin(), peaks.rend());
    for (const auto& [peak, at] : peaks) {
        const int x0 = at % 1600, y0 = at / 1600;
        double other = 0;
        for (int y = y0 - kClear; y <= y0 + kClear; ++y)
            for (int x = x0 - kClear; x <= x0 + kClear; ++x)
                if (std::max(std::abs(x - x0), std::abs(y - y0)) > 12) other = std::max(other, v[std::size_t(y) * 1600 + x] - bg);
        if (other > 0.02 * peak) continue;
        RenderRequest q = cam(200, 200);  // the star in the middle of a 200 x 200 crop
        q.sensor_width = 1600, q.sensor_height = 1200, q.start_x = x0 - 100, q.start_y = y0 - 100;
        const auto light = [&](RenderRequest a, int frames) {  // mean e- in the box, against the sky
            double sum = 0;
            for (int k = 0; k < frames; ++k) {
                RenderRequest b = a;
                a.frame_index = b.frame_index = std::uint64_t(k), b.panel_rate = 3.0, b.defocus_fwhm = 0;
                const Values sa = px(a), sb = px(b);
                for (int y = 100 - kBox; y <= 100 + kBox; ++y)
                    for (int x = 100 - kBox; x <= 100 + kBox; ++x) sum += sa[std::size_t(y) * 200 + x] - sb[std::size_t(y) * 200 + x];
            }
            return sum / frames / (16 * std::pow(10.0, double(a.gain) / 200.0));
        };
        q.exposure_us = f.exposure_us;
        const double rate = light(q, 4) / (double(f.exposure_us) * 1e-6);  // e-/s, a bright star: precise
        q.gain = 300, q.offset = 400, q.exposure_us = std::max(32L, long(25.0 / rate * 1e6));  // bias 10 sigma clear of 0
        const double want = rate * double(q.exposure_us) * 1e-6;
        for (double fwhm : {0.0, 6.0, 15.0}) {
            q.defocus_fwhm = fwhm;
            const double got = light(q, 24);
            std::printf("defocus %.0f px: %.3f of %.1f e-\n", fwhm, got / want, want);
            CHECK(std::abs(got / want - 1) < 0.04, "defocus %.0f px: %.1f e- of a %.1f e- star", fwhm, got, want);
        }
        return;
    }
    CHECK(false, "no isolated star found");
}

static void formats_and_flip() {
    for (int bd : {8, 10, 12, 14, 16}) {
        RenderRequest q = cam(640, 480);
        q.bit_depth = bd, q.exposure_us = 20000000, q.gain = 300;
        const Bytes b16 = raw(q);
        const unsigned top = ((1u << bd) - 1) << (16 - bd);
        long low = 0, sat = 0;
        for (std::size_t i = 0; i < b16.size(); i += 2) {
            const unsigned v = b16[i] | b16[i + 1] << 8;
            low += (v & ~top) != 0, sat += v == top;
        }
        q.img_type = ASI_IMG_RAW8;
        const Bytes b8 = raw(q);
        long top8 = 0;
        for (std::size_t i = 0; i < b8.size(); ++i) top8 += b8[i] != b16[2 * i + 1];
        CHECK(low == 0 && sat > 20 && top8 == 0, "bit depth %d: %ld with low bits, %ld saturated, %ld RAW8 != RAW16>>8", bd, low, sat, top8);
    }
    RenderRequest y = cam(640, 480);
    y.img_type = ASI_IMG_Y8;
    const Bytes y8 = raw(y);
    y.img_type = ASI_IMG_RAW8;
    CHECK(y8 == raw(y), "mono Y8 differs from RAW8");
    // A flipped frame is the mirror of the unflipped one, noise included.
    for (bool col : {false, true})
        for (int t : {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_RGB24, ASI_IMG_Y8}) {
            RenderRequest q = cam(300, 200, col);
            q.img_type = t, q.width = 136, q.height = 70, q.start_x = 40, q.start_y = 30, q.frame_index = 3;
            const std::size_t bpp = frame_bytes(q) / (136 * 70);
            const Bytes ref = raw(q);
            for (int f : {ASI_FLIP_HORIZ, ASI_FLIP_VERT, ASI_FLIP_BOTH}) {
                q.flip = f;
                const Bytes fl = raw(q);
                long bad = 0;
                for (int r = 0; r < 70; ++r)
                    for (int k = 0; k < 136; ++k)
                        bad += std::memcmp(&fl[(r * 136 + k) * bpp], &ref[((f & 2 ? 69 - r : r) * 136 + (f & 1 ? 135 - k : k)) * bpp], bpp) != 0;
                CHECK(bad == 0, "colour %d type %d flip %d: %ld pixels not mirrored", col, t, f, bad);
            }
        }
}

static void colour() {
    // Raw data is the sensor's: white balance leaves it alone, and the red sites of each
    // pattern see the most of the reddish sky, the blue sites the least.
    const int red[4][2] = {{0, 0}, {1, 1}, {1, 0}, {0, 1}};  // RG, BG, GR, GB
    for (int pat = 0; pat < 4; ++pat) {
        RenderRequest q = cam(320, 240, true);
        q.bayer_pattern = pat, q.exposure_us = 4000000, q.gain = 100, q.wb_r = q.wb_b = 50;
        const Bytes a = raw(q);
        q.wb_r = 99, q.wb_b = 1;
        CHECK(raw(q) == a, "pattern %d: white balance changed raw data", pat);
        const Values v = decode16(a);
        Values level;
        for (int i = 0; i < 4; ++i) {
            Values s;
            for (int y = i >> 1; y < 240; y += 2)
                for (int x = i & 1; x < 320; x += 2) s.push_back(v[std::size_t(y) * 320 + x]);
            level.push_back(median(s));
        }
        const long brightest = std::max_element(level.begin(), level.end()) - level.begin();
        const long darkest = std::min_element(level.begin(), level.end()) - level.begin();
        CHECK(brightest == red[pat][0] + 2 * red[pat][1] && darkest == 3 - brightest,
              "pattern %d: brightest site %ld, darkest %ld", pat, brightest, darkest);
    }
    // RGB24 is B, G, R: wb_b scales the first byte of each triplet.
    RenderRequest q = cam(320, 240, true);
    q.img_type = ASI_IMG_RGB24, q.exposure_us = 20000000, q.gain = 150, q.offset = 0, q.wb_r = q.wb_b = 50;
    const Bytes c1 = raw(q), c2 = raw((q.wb_b = 100, q));
    double m1[3] = {}, m2[3] = {};
    for (std::size_t i = 0; i < c1.size(); ++i) m1[i % 3] += c1[i], m2[i % 3] += c2[i];
    CHECK(m1[0] > 0 && std::abs(m2[0] / m1[0] - 2) < 0.15 && std::abs(m2[1] / m1[1] - 1) < 0.01 && std::abs(m2[2] / m1[2] - 1) < 0.01,
          "wb_b x2 scales B %.3f G %.3f R %.3f", m2[0] / m1[0], m2[1] / m1[1], m2[2] / m1[2]);
}

static void dark_subtraction() {
    RenderRequest d = cam(800, 600);
    d.img_type = ASI_IMG_RAW8, d.dark = true, d.exposure_us = 30000000, d.temperature_c = 25, d.offset = 0;
    const Bytes master = raw(d);
    struct Case { int bin, sx, sy, flip; };
    for (const Case c : {Case{1, 0, 0, 0}, Case{1, 37, 21, 0}, Case{1, 10, 5, ASI_FLIP_BOTH}, Case{2, 13, 7, ASI_FLIP_VERT}, Case{2, 3, 0, ASI_FLIP_HORIZ}}) {
        RenderRequest q = d;
        q.bin = c.bin, q.start_x = c.sx, q.start_y = c.sy, q.flip = c.flip, q.frame_index = 2;
        q.width = (800 / c.bin - c.sx) / 8 * 8, q.height = (600 / c.bin - c.sy) / 2 * 2;
        const Bytes plain = raw(q);
        q.dark_frame = master.data();
        const Bytes sub = raw(q);
        const long hot = std::count_if(plain.begin(), plain.end(), [&](int v) { return v > 40 / c.bin / c.bin; });
        CHECK(hot >= 2 && *std::max_element(sub.begin(), sub.end()) <= 4, "bin %d start (%d,%d) flip %d: %ld hot pixels, subtracted max %d",
              c.bin, c.sx, c.sy, c.flip, hot, *std::max_element(sub.begin(), sub.end()));
    }
    const Bytes white(800 * 600, 255);
    d.dark_frame = white.data();
    const Bytes z = raw(d);
    CHECK(std::count(z.begin(), z.end(), 0) == long(z.size()), "subtraction wrapped below 0");
    d.img_type = ASI_IMG_RAW16;
    const Bytes with = raw(d);
    d.dark_frame = nullptr;
    CHECK(with == raw(d), "dark subtraction touched RAW16");
    // Requests a camera would refuse must neither crash nor overrun (the sanitizer build watches reads).
    const std::function<void(RenderRequest&)> odd[] = {
        [](auto& r) { r.start_x = 700; }, [](auto& r) { r.start_y = -5; }, [](auto& r) { r.bin = 0; }, [](auto& r) { r.bit_depth = 40; },
        [](auto& r) { r.exposure_us = -1; }, [](auto& r) { r.gain = 100000; }, [](auto& r) { r.elec_per_adu = 0; },
        [](auto& r) { r.color = true, r.bayer_pattern = 17; }, [](auto& r) { r.shift_x = 1e30, r.shift_y = NAN; },
        [](auto& r) { r.temperature_c = NAN, r.elec_per_adu = INFINITY; }, [](auto& r) { r.width = r.height = 1; }};
    for (const auto& edit : odd) {
        RenderRequest r = d;
        r.dark_frame = master.data(), r.img_type = ASI_IMG_RAW8, r.dark = false, r.exposure_us = 1000000;
        edit(r);
        Bytes b(frame_bytes(r) + 16, 0x5A);
        Renderer().render(r, b.data());
        CHECK(std::count(b.end() - 16, b.end(), 0x5A) == 16, "odd request overran");
    }
}

static void timing() {
    const auto per_frame = [](RenderRequest q, int frames) {
        Renderer rr;
        Bytes b(frame_bytes(q));
        rr.render(q, b.data());
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 1; i <= frames; ++i) q.frame_index = std::uint64_t(i), rr.render(q, b.data());
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / frames;
    };
    RenderRequest a = cam(1920, 1080), b = cam(4144, 2822);
    a.exposure_us = b.exposure_us = 32, a.img_type = ASI_IMG_RAW8, b.bit_depth = 14;
    const double ta = per_frame(a, 50), tb = per_frame(b, 10);
    std::printf("timing: 1920x1080 RAW8 %.3f ms/frame, 4144x2822 RAW16 %.3f ms/frame\n", ta, tb);
}

// ---------------------------------------------------------------- BMP

static void put(Bytes& b, std::size_t at, std::uint32_t v, int n = 4) {
    for (int i = 0; i < n; ++i) b[at + i] = std::uint8_t(v >> 8 * i);
}
// Grey (x * 17 + y * 31) as a BMP; 8-bit files index a reversed palette whose
// green holds the grey (blue and red differ), so a reader must use both correctly.
static Bytes make_bmp(int header, int bits, bool top_down, int palette = 256, int w = 13, int h = 7) {
    const std::size_t off = 14 + header + (bits == 8 ? 4 * palette : 0), stride = (std::size_t(w) * bits + 31) / 32 * 4;
    Bytes b(off + stride * h, 0);
    b[0] = 'B', b[1] = 'M';
    put(b, 2, std::uint32_t(b.size())), put(b, 10, std::uint32_t(off)), put(b, 14, header), put(b, 18, w);
    put(b, 22, top_down ? -h : h), put(b, 26, 1, 2), put(b, 28, bits, 2), put(b, 46, bits == 8 && palette < 256 ? palette : 0);
    for (int i = 0; bits == 8 && i < palette; ++i) put(b, 14 + header + 4 * i, std::uint32_t((255 - i) / 2 | (255 - i) << 8 | (255 - i) / 3 << 16));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &b[off + std::size_t(top_down ? y : h - 1 - y) * stride + std::size_t(x) * bits / 8];
            const std::uint8_t g = std::uint8_t(x * 17 + y * 31);
            if (bits == 8) p[0] = std::uint8_t((255 - g) % palette);
            else p[0] = g ^ 0x55, p[1] = g, p[2] = g ^ 0xAA;
        }
    return b;
}
static int load(const Bytes& file, int w = 13, int h = 7, Bytes* out = nullptr) {
    const std::string path = scratch + "/t.bmp";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    Bytes tmp;
    return load_dark_bmp(path.c_str(), w, h, out ? *out : tmp);
}

static void bmp() {
    std::mt19937_64 rng(1);
    for (int w : {1, 2, 3, 5, 640})
        for (int h : {1, 3, 480}) {
            Bytes pix(std::size_t(w) * h), back;
            for (auto& p : pix) p = std::uint8_t(rng());
            const std::string path = scratch + "/rt.bmp";
            const bool ok = write_grey_bmp(path.c_str(), w, h, pix.data());
            CHECK(ok && std::filesystem::file_size(path) == 1078 + std::size_t((w + 3) / 4 * 4) * h, "%dx%d: write", w, h);
            CHECK(load_dark_bmp(path.c_str(), w, h, back) == ASI_SUCCESS && back == pix, "%dx%d: round trip", w, h);
        }
    CHECK(!write_grey_bmp((scratch + "/none/x.bmp").c_str(), 4, 4, Bytes(16).data()), "wrote into a missing directory");
    for (int header : {40, 108, 124})
        for (int bits : {8, 24, 32})
            for (bool td : {false, true}) {
                Bytes out;
                bool ok = load(make_bmp(header, bits, td), 13, 7, &out) == ASI_SUCCESS && out.size() == 91;
                for (int i = 0; ok && i < 91; ++i) ok = out[i] == std::uint8_t(i % 13 * 17 + i / 13 * 31);
                CHECK(ok, "header %d, %d bits, top-down %d", header, bits, td);
            }
    const Bytes good = make_bmp(40, 8, false), good24 = make_bmp(40, 24, false);
    CHECK(load(good) == 0 && load(good24) == 0 && load(make_bmp(40, 8, false, 16)) == 0, "valid files rejected");
    struct Bad { const char* what; std::function<void(Bytes&)> edit; bool rgb = false; };
    const Bad bad[] = {
        {"magic", [](Bytes& b) { b[0] = 'X'; }}, {"empty", [](Bytes& b) { b.clear(); }}, {"cut file header", [](Bytes& b) { b.resize(12); }},
        {"cut info header", [](Bytes& b) { b.resize(30); }}, {"cut palette", [](Bytes& b) { b.resize(154); }},
        {"cut pixels", [](Bytes& b) { b.pop_back(); }}, {"cut pixels 24", [](Bytes& b) { b.resize(b.size() - 3); }, true},
        {"core header", [](Bytes& b) { put(b, 14, 12); }}, {"header 64", [](Bytes& b) { put(b, 14, 64); }},
        {"huge header", [](Bytes& b) { put(b, 14, 0xFFFFFFF0u); }}, {"1 bit", [](Bytes& b) { put(b, 28, 1, 2); }},
        {"4 bit", [](Bytes& b) { put(b, 28, 4, 2); }}, {"16 bit", [](Bytes& b) { put(b, 28, 16, 2); }, true},
        {"RLE8", [](Bytes& b) { put(b, 30, 1); }}, {"JPEG", [](Bytes& b) { put(b, 30, 4); }, true},
        {"bitfields 24", [](Bytes& b) { put(b, 30, 3); }, true}, {"planes 0", [](Bytes& b) { put(b, 26, 0, 2); }},
        {"width 0", [](Bytes& b) { put(b, 18, 0); }}, {"width -13", [](Bytes& b) { put(b, 18, -13); }},
        {"height 0", [](Bytes& b) { put(b, 22, 0); }}, {"height INT_MIN", [](Bytes& b) { put(b, 22, 0x80000000u); }},
        {"absurd width", [](Bytes& b) { put(b, 18, 0x7FFFFFFF); }}, {"absurd height", [](Bytes& b) { put(b, 22, 0x7FFFFFFF); }, true},
        {"width 12", [](Bytes& b) { put(b, 18, 12); }}, {"height -8", [](Bytes& b) { put(b, 22, -8); }},
        {"offset past end", [](Bytes& b) { put(b, 10, std::uint32_t(b.size() + 1)); }}, {"offset huge", [](Bytes& b) { put(b, 10, ~0u); }},
        {"offset in header", [](Bytes& b) { put(b, 10, 20); }, true}, {"pixels past end", [](Bytes& b) { put(b, 10, std::uint32_t(b.size() - 10)); }, true},
        {"palette over pixels", [](Bytes& b) { put(b, 10, 454); }}, {"palette 300", [](Bytes& b) { put(b, 46, 300); }},
        {"index outside palette", [](Bytes& b) { put(b, 46, 16); }}};
    for (const Bad& c : bad) {
        Bytes f = c.rgb ? good24 : good, out{1, 2, 3};
        c.edit(f);
        CHECK(load(f, 13, 7, &out) == ASI_ERROR_INVALID_FILEFORMAT && out == Bytes({1, 2, 3}), "%s accepted or output changed", c.what);
    }
    CHECK(load(good, 14, 7) == ASI_ERROR_INVALID_FILEFORMAT, "the expected size is not enforced");
    Bytes out;
    for (const char* p : {(const char*)nullptr, "", "/no/such/file.bmp", scratch.c_str()})
        CHECK(load_dark_bmp(p, 13, 7, out) == ASI_ERROR_INVALID_PATH, "path %s", p ? p : "(null)");
    // Fuzz: truncations, random header bytes, boundary values in header fields.
    const std::uint32_t edge[] = {0, 1, 7, 13, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000u, ~0u, ~0u - 12, 40, 124, 1078};
    std::vector<Bytes> seeds;
    for (int header : {40, 124})
        for (int bits : {8, 24, 32}) seeds.push_back(make_bmp(header, bits, bits == 24));
    int loaded = 0, rejected = 0;
    for (int it = 0; it < 6000; ++it) {
        Bytes f = seeds[rng() % seeds.size()];
        const int how = int(rng() % 4);
        if (how == 1)
            for (int k = 1 + int(rng() % 4); k > 0; --k) f[rng() % 80] = std::uint8_t(rng());
        if (how >= 2) put(f, 2 + 4 * (rng() % 12), edge[rng() % std::size(edge)]);
        if (how == 0 || how == 3) f.resize(rng() % (f.size() + 1));
        const int rc = load(f, 13, 7, &out);
        rc == ASI_SUCCESS ? ++loaded : ++rejected;
        CHECK(rc == ASI_ERROR_INVALID_FILEFORMAT || (rc == ASI_SUCCESS && out.size() == 91), "fuzz %d: rc %d", it, rc);
    }
    CHECK(loaded > 100 && rejected > 100, "fuzz: %d loaded, %d rejected", loaded, rejected);
}

int main(int argc, char** argv) {
    scratch = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::pair<const char*, void (*)()> groups[] = {
        {"sizes_and_determinism", sizes_and_determinism}, {"light_dark_and_levels", light_dark_and_levels},
        {"star_geometry", star_geometry}, {"defocus_keeps_flux", defocus_keeps_flux}, {"formats_and_flip", formats_and_flip}, {"colour", colour},
        {"dark_subtraction", dark_subtraction}, {"bmp", bmp}, {"timing", timing}};
    for (const auto& [name, fn] : groups) {
        const int before = failures;
        fn();
        std::printf("%s %s\n", failures == before ? "ok  " : "FAIL", name);
    }
    std::printf("%d failure(s)\n", failures);
    return failures ? 1 : 0;
}

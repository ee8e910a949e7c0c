// Checks of the simulated sensor and the BMP dark reader/writer.
// Usage: renderer_check [scratch-directory]. Prints each failure; exits 1 on any.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "bmp.hpp"
#include "renderer.hpp"

using camsim::frame_bytes;
using camsim::Renderer;
using camsim::RenderRequest;
using Bytes = std::vector<std::uint8_t>;

namespace {

int failures = 0;
std::string scratch;

#define CHECK(cond, ...)                                                        \
    do {                                                                        \
        if (!(cond)) {                                                          \
            ++failures;                                                         \
            std::printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);         \
            std::printf(__VA_ARGS__);                                           \
            std::printf("\n");                                                  \
        }                                                                       \
    } while (0)

RenderRequest mono(int w = 640, int h = 480) {
    RenderRequest r;
    r.sensor_width = w;
    r.sensor_height = h;
    r.width = w;
    r.height = h;
    r.bit_depth = 12;
    r.elec_per_adu = 1.0;
    r.img_type = ASI_IMG_RAW16;
    r.exposure_us = 1000000;
    r.gain = 0;
    r.offset = 50;
    r.temperature_c = -10.0;
    r.seed = 7;
    return r;
}

RenderRequest colour(int w = 640, int h = 480) {
    RenderRequest r = mono(w, h);
    r.color = true;
    r.bayer_pattern = ASI_BAYER_RG;
    return r;
}

Bytes render(Renderer& rr, const RenderRequest& q) {
    Bytes b(frame_bytes(q));
    rr.render(q, b.data());
    return b;
}

Bytes render(const RenderRequest& q) {
    Renderer rr;
    return render(rr, q);
}

std::vector<double> as_values(const Bytes& b, const RenderRequest& q) {
    std::vector<double> v;
    if (q.img_type == ASI_IMG_RAW16) {
        v.resize(b.size() / 2);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = b[2 * i] | b[2 * i + 1] << 8;
    } else {
        v.assign(b.begin(), b.end());
    }
    return v;
}

double mean_of(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / double(v.size());
}

double median_of(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Median of the samples at (x, y) with x % 2 == px and y % 2 == py (one Bayer site).
double site_median(const std::vector<double>& v, int w, int h, int px, int py) {
    std::vector<double> s;
    for (int y = py; y < h; y += 2)
        for (int x = px; x < w; x += 2) s.push_back(v[static_cast<std::size_t>(y) * w + x]);
    return median_of(s);
}

// ---------------------------------------------------------------- sizes

void test_sizes() {
    const int types[] = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    const int per[] = {1, 3, 2, 1};
    for (bool colour_cam : {false, true})
        for (int t = 0; t < 4; ++t)
            for (int bin : {1, 2, 3, 4}) {
                RenderRequest q = colour_cam ? colour(320, 240) : mono(320, 240);
                q.bin = bin;
                q.width = 320 / bin / 8 * 8;
                q.height = 240 / bin / 2 * 2;
                q.img_type = types[t];
                const std::size_t want = std::size_t(q.width) * q.height * per[t];
                CHECK(frame_bytes(q) == want, "type %d bin %d: %zu != %zu", types[t], bin, frame_bytes(q), want);
                // Exactly frame_bytes are written: a guard zone after them stays intact.
                Bytes b(want + 64, 0xA5);
                Renderer rr;
                rr.render(q, b.data());
                CHECK(std::all_of(b.begin() + long(want), b.end(), [](std::uint8_t x) { return x == 0xA5; }),
                      "type %d bin %d colour %d wrote past the frame", types[t], bin, colour_cam);
            }
    RenderRequest q = mono();
    for (int bad : {-1, 4, 5, 99}) {
        q.img_type = bad;
        CHECK(frame_bytes(q) == 0, "img_type %d gives %zu", bad, frame_bytes(q));
    }
}

// ---------------------------------------------------------------- determinism and noise

void test_determinism() {
    RenderRequest a = mono(), b = mono();
    b.gain = 200;
    Renderer r1, r2;
    const Bytes a1 = render(r1, a);
    render(r1, b);  // a settings change in between must not leave stale state
    const Bytes a2 = render(r1, a);
    const Bytes a3 = render(r2, a);
    CHECK(a1 == a2, "same renderer, same request, different bytes");
    CHECK(a1 == a3, "two renderers, same request, different bytes");

    RenderRequest n = a;
    n.frame_index = 1;
    const Bytes f1 = render(r1, n);
    CHECK(f1 != a1, "frame_index does not change the noise");
    // The difference of two frames is pure noise: zero mean, and at sky level
    // about sqrt(2) times one frame's noise (read noise plus sky shot noise).
    const auto v0 = as_values(a1, a), v1 = as_values(f1, a);
    double sd = 0, md = 0;
    long k = 0;
    const double med = median_of(v0);
    for (std::size_t i = 0; i < v0.size(); ++i) {
        if (std::abs(v0[i] - med) > 400) continue;  // sky only
        const double d = v1[i] - v0[i];
        md += d;
        sd += d * d;
        ++k;
    }
    md /= double(k);
    sd = std::sqrt(sd / double(k) - md * md);
    // read 3.5 e-, sky 3 e-, gain 0, 1 e-/ADU, 16 units per ADU (12-bit).
    const double want = std::sqrt(2.0 * (3.5 * 3.5 + 3.0)) * 16.0;
    CHECK(std::abs(md) < 2.0, "noise difference has mean %.2f", md);
    CHECK(std::abs(sd / want - 1.0) < 0.15, "noise difference sd %.1f, expected ~%.1f", sd, want);

    RenderRequest other = a;
    other.seed = 8;
    CHECK(render(other) != a1, "seed does not change the frame");
}

// ---------------------------------------------------------------- dark and light

void test_dark_and_exposure() {
    RenderRequest light = mono(1280, 960);
    light.exposure_us = 2000000;
    light.gain = 100;
    RenderRequest dark = light;
    dark.dark = true;
    const auto lv = as_values(render(light), light);
    const auto dv = as_values(render(dark), dark);
    const double bias = 50 * 16;
    // Well above background: star light in the light frame; only a few hot pixels in the dark.
    const double cut = bias + 4000;
    const long lhi = std::count_if(lv.begin(), lv.end(), [&](double x) { return x > cut; });
    const long dhi = std::count_if(dv.begin(), dv.end(), [&](double x) { return x > cut; });
    CHECK(lhi > 500, "light frame has only %ld bright pixels", lhi);
    CHECK(dhi < long(dv.size() / 10000), "dark frame has %ld bright pixels", dhi);
    CHECK(*std::max_element(lv.begin(), lv.end()) > 4 * *std::max_element(dv.begin(), dv.end()) ||
              *std::max_element(lv.begin(), lv.end()) == 65520,
          "dark frame max %.0f not far below light max %.0f", *std::max_element(dv.begin(), dv.end()),
          *std::max_element(lv.begin(), lv.end()));
    const double dmean = mean_of(dv);
    CHECK(std::abs(dmean - bias) < 16.0, "dark mean %.1f, bias %.1f", dmean, bias);
    // A dark sees no sky, so the star field's shift cannot matter.
    RenderRequest dshift = dark;
    dshift.shift_x = 13.5;
    CHECK(as_values(render(dshift), dshift) == dv, "dark frame depends on the star field");

    // The bias follows the offset control.
    RenderRequest d2 = dark;
    d2.offset = 100;
    CHECK(std::abs(mean_of(as_values(render(d2), d2)) - 1600.0) < 16.0, "offset 100 is not a bias of 1600");

    // Sky level above bias grows in proportion to exposure and to the gain factor.
    RenderRequest s = mono(1280, 960);
    s.gain = 100;
    double prev = -1;
    double per_second = 0;
    for (long us : {100000L, 1000000L, 4000000L}) {
        s.exposure_us = us;
        const double sky = median_of(as_values(render(s), s)) - bias;
        CHECK(sky > prev, "sky level %.1f at %ld us did not grow", sky, us);
        if (us == 1000000L) per_second = sky;
        if (us == 4000000L) CHECK(std::abs(sky / per_second / 4.0 - 1.0) < 0.1, "4 s sky %.1f vs 1 s %.1f", sky, per_second);
        prev = sky;
    }
    s.exposure_us = 1000000;
    s.gain = 300;  // +20 dB: ten times the signal
    const double sky300 = median_of(as_values(render(s), s)) - bias;
    CHECK(std::abs(sky300 / per_second / 10.0 - 1.0) < 0.1, "gain 300 sky %.1f vs gain 100 %.1f", sky300, per_second);

    // Dark current grows with temperature (hot pixels stand out more when warm).
    RenderRequest cold = dark, warm = dark;
    cold.exposure_us = warm.exposure_us = 60000000;
    warm.temperature_c = 26.0;  // 36 C warmer: 64 times the dark current
    const double cm = mean_of(as_values(render(cold), cold)) - bias;
    const double wm = mean_of(as_values(render(warm), warm)) - bias;
    CHECK(wm > 8 * std::max(cm, 1.0), "warm dark %.1f not far above cold dark %.1f", wm, cm);
}

// ---------------------------------------------------------------- star geometry

struct Spot {
    double x, y, flux;
};

// Bright, unsaturated local maxima with no other light nearby (so that a
// neighbour cannot pull the centroid), and their background-subtracted centroids.
std::vector<Spot> find_stars(const std::vector<double>& v, int w, int h, double sat) {
    const double bg = median_of(v);
    std::vector<Spot> out;
    const int r = 6, ring = 14;
    for (int y = ring; y < h - ring; ++y)
        for (int x = ring; x < w - ring; ++x) {
            const double p = v[std::size_t(y) * w + x];
            if (p < bg + 15000 || p >= sat) continue;
            const double faint = bg + std::max(0.03 * (p - bg), 600.0);
            bool ok = true;
            for (int dy = -ring; dy <= ring && ok; ++dy)
                for (int dx = -ring; dx <= ring; ++dx) {
                    const double q = v[std::size_t(y + dy) * w + x + dx];
                    const bool inner = std::abs(dx) <= r && std::abs(dy) <= r;
                    if ((dx || dy) && (inner ? q >= p : q > faint)) {
                        ok = false;
                        break;
                    }
                }
            if (!ok) continue;
            double sx = 0, sy = 0, sf = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const double f = v[std::size_t(y + dy) * w + x + dx] - bg;
                    sx += f * (x + dx + 0.5);
                    sy += f * (y + dy + 0.5);
                    sf += f;
                }
            out.push_back({sx / sf, sy / sf, sf});
        }
    return out;
}

struct Centroid {
    double x, y, fwhm;
};

// Background-subtracted centroid in a 13 x 13 window around (cx, cy), and the
// FWHM from the second moment of the 7 x 7 core.
Centroid centroid_at(const std::vector<double>& v, int w, double cx, double cy) {
    const double bg = median_of(v);
    const int x0 = int(cx), y0 = int(cy);
    double sx = 0, sy = 0, sf = 0;
    for (int y = y0 - 6; y <= y0 + 6; ++y)
        for (int x = x0 - 6; x <= x0 + 6; ++x) {
            const double f = v[std::size_t(y) * w + x] - bg;
            sx += f * (x + 0.5);
            sy += f * (y + 0.5);
            sf += f;
        }
    Centroid c{sx / sf, sy / sf, 0};
    double sxx = 0, s7 = 0;
    for (int y = y0 - 3; y <= y0 + 3; ++y)
        for (int x = x0 - 3; x <= x0 + 3; ++x) {
            const double f = v[std::size_t(y) * w + x] - bg;
            sxx += f * (x + 0.5 - c.x) * (x + 0.5 - c.x);
            s7 += f;
        }
    c.fwhm = 2.3548 * std::sqrt(sxx / s7);
    return c;
}

void test_star_shift() {
    struct Case {
        double sx, sy;
        int bin;
    };
    for (const Case c : {Case{0.0, 0.0, 1}, Case{3.3, -2.7, 1}, Case{-0.45, 0.8, 1}, Case{5.0, 4.0, 1},
                         Case{2.6, -1.3, 2}}) {
        RenderRequest q = mono(1600, 1200);
        q.bin = c.bin;
        q.width = 1600 / c.bin;
        q.height = 1200 / c.bin;
        q.exposure_us = 1000000;
        q.gain = 60;
        const auto base = as_values(render(q), q);
        RenderRequest s = q;
        s.shift_x = c.sx;
        s.shift_y = c.sy;
        s.frame_index = 5;
        const auto moved = as_values(render(s), s);
        const auto stars = find_stars(base, q.width, q.height, 65000);
        CHECK(stars.size() >= 5, "only %zu bright isolated stars (bin %d)", stars.size(), c.bin);
        double ex = 0, ey = 0, worst = 0;
        int n = 0;
        for (const Spot& st : stars) {
            const Centroid m = centroid_at(moved, q.width, st.x + c.sx / c.bin, st.y + c.sy / c.bin);
            const double dx = (m.x - st.x) * c.bin - c.sx, dy = (m.y - st.y) * c.bin - c.sy;
            ex += dx;
            ey += dy;
            worst = std::max(worst, std::hypot(dx, dy));
            ++n;
            if (c.bin == 1) CHECK(m.fwhm > 2.0 && m.fwhm < 3.6, "star FWHM %.2f px, expected ~2.7", m.fwhm);
        }
        if (n == 0) continue;
        CHECK(std::abs(ex / n) < 0.1 && std::abs(ey / n) < 0.1, "shift (%.2f, %.2f) bin %d: mean centroid error (%.3f, %.3f)",
              c.sx, c.sy, c.bin, ex / n, ey / n);
        CHECK(worst < 0.2, "shift (%.2f, %.2f) bin %d: worst star centroid error %.3f px", c.sx, c.sy, c.bin, worst);
    }
}

// Binning averages: the binned frame's sky level matches bin 1, its stars sit
// at the same sensor positions, and ROI crops are views of the same sky.
void test_roi_and_bin() {
    RenderRequest full = mono(1600, 1200);
    full.gain = 60;
    const auto fv = as_values(render(full), full);
    RenderRequest b2 = full;
    b2.bin = 2;
    b2.width = 800;
    b2.height = 600;
    const auto bv = as_values(render(b2), b2);
    CHECK(std::abs(median_of(bv) - median_of(fv)) < 8.0, "bin 2 sky %.1f vs bin 1 %.1f", median_of(bv), median_of(fv));

    // A crop at an offset: its expected stars are the full frame's, shifted.
    RenderRequest roi = full;
    roi.start_x = 300;
    roi.start_y = 200;
    roi.width = 640;
    roi.height = 480;
    const auto rv = as_values(render(roi), roi);
    const auto stars = find_stars(rv, roi.width, roi.height, 65000);
    CHECK(!stars.empty(), "no stars in the ROI");
    for (const Spot& s : stars) {
        const Centroid c = centroid_at(fv, full.width, s.x + roi.start_x, s.y + roi.start_y);
        CHECK(std::hypot(c.x - roi.start_x - s.x, c.y - roi.start_y - s.y) < 0.2,
              "ROI star at (%.2f, %.2f) is at (%.2f, %.2f) in the full frame", s.x, s.y, c.x - roi.start_x, c.y - roi.start_y);
    }
    // Binned, the same stars sit at half the coordinates.
    const auto bstars = find_stars(bv, b2.width, b2.height, 65000);
    CHECK(!bstars.empty(), "no stars in the binned frame");
    for (const Spot& s : bstars) {
        const Centroid c = centroid_at(fv, full.width, s.x * 2, s.y * 2);
        CHECK(std::hypot(c.x - s.x * 2, c.y - s.y * 2) < 0.2, "bin 2 star (%.2f, %.2f) vs bin 1 (%.2f, %.2f)", s.x * 2,
              s.y * 2, c.x, c.y);
    }
}

// ---------------------------------------------------------------- formats

void test_formats() {
    for (int bd : {8, 10, 12, 14, 16}) {
        RenderRequest q = mono(640, 480);
        q.bit_depth = bd;
        q.exposure_us = 5000000;
        q.gain = 250;
        const Bytes b16 = render(q);
        const auto v = as_values(b16, q);
        const unsigned low = (1u << (16 - bd)) - 1;
        const unsigned top = (((1u << bd) - 1) << (16 - bd));
        long lowbits = 0, at_top = 0;
        double mx = 0;
        for (double x : v) {
            lowbits += (unsigned(x) & low) != 0;
            at_top += unsigned(x) == top;
            mx = std::max(mx, x);
        }
        CHECK(lowbits == 0, "bit depth %d: %ld samples with low bits set", bd, lowbits);
        CHECK(mx == top, "bit depth %d: max %.0f, saturation %u", bd, mx, top);
        CHECK(at_top > 20, "bit depth %d: only %ld saturated pixels at high gain", bd, at_top);

        RenderRequest q8 = q;
        q8.img_type = ASI_IMG_RAW8;
        const Bytes b8 = render(q8);
        bool same = b8.size() * 2 == b16.size();
        for (std::size_t i = 0; same && i < b8.size(); ++i) same = b8[i] == b16[2 * i + 1];
        CHECK(same, "bit depth %d: RAW8 is not the top byte of RAW16", bd);
        CHECK(*std::max_element(b8.begin(), b8.end()) == 255, "bit depth %d: RAW8 does not saturate", bd);
    }
    // Mono Y8 is RAW8.
    RenderRequest y = mono();
    y.img_type = ASI_IMG_Y8;
    RenderRequest r8 = mono();
    r8.img_type = ASI_IMG_RAW8;
    CHECK(render(y) == render(r8), "mono Y8 differs from RAW8");

    // RAW8 == RAW16 >> 8 also for colour, binned, flipped ROIs.
    RenderRequest c = colour(640, 480);
    c.bin = 2;
    c.width = 200;
    c.height = 160;
    c.start_x = 20;
    c.start_y = 11;
    c.flip = ASI_FLIP_BOTH;
    c.frame_index = 9;
    const Bytes c16 = render(c);
    c.img_type = ASI_IMG_RAW8;
    const Bytes c8 = render(c);
    bool same = true;
    for (std::size_t i = 0; same && i < c8.size(); ++i) same = c8[i] == c16[2 * i + 1];
    CHECK(same, "colour binned flipped: RAW8 is not the top byte of RAW16");
}

void test_flip() {
    const int types[] = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_RGB24, ASI_IMG_Y8};
    for (bool col : {false, true})
        for (int t : types) {
            RenderRequest q = col ? colour(300, 200) : mono(300, 200);
            q.img_type = t;
            q.width = 136;  // several SIMD blocks and a ragged tail
            q.height = 70;
            q.start_x = 40;
            q.start_y = 30;
            q.frame_index = 3;
            const int bpp = int(frame_bytes(q) / (std::size_t(q.width) * q.height));
            const Bytes ref = render(q);
            for (int f : {ASI_FLIP_HORIZ, ASI_FLIP_VERT, ASI_FLIP_BOTH}) {
                RenderRequest fq = q;
                fq.flip = f;
                const Bytes fl = render(fq);
                long bad = 0;
                for (int y = 0; y < q.height; ++y)
                    for (int x = 0; x < q.width; ++x) {
                        const int sx = (f & ASI_FLIP_HORIZ) ? q.width - 1 - x : x;
                        const int sy = (f & ASI_FLIP_VERT) ? q.height - 1 - y : y;
                        bad += std::memcmp(&fl[(std::size_t(y) * q.width + x) * bpp],
                                           &ref[(std::size_t(sy) * q.width + sx) * bpp], std::size_t(bpp)) != 0;
                    }
                CHECK(bad == 0, "colour %d type %d flip %d: %ld pixels are not the mirror", col, t, f, bad);
            }
        }
}

void test_colour() {
    // Raising wb_r doubles the red sites' signal and only theirs; the red site
    // moves with the Bayer pattern.
    const int red_site[4][2] = {{0, 0}, {1, 1}, {1, 0}, {0, 1}};  // RG, BG, GR, GB: (x, y) parity of red
    for (int pat = 0; pat < 4; ++pat) {
        RenderRequest q = colour(320, 240);
        q.bayer_pattern = pat;
        q.exposure_us = 4000000;
        q.gain = 100;
        q.wb_r = 50;
        q.wb_b = 50;
        const auto a = as_values(render(q), q);
        q.wb_r = 100;
        const auto b = as_values(render(q), q);
        const double bias = 50 * 16;
        for (int py = 0; py < 2; ++py)
            for (int px = 0; px < 2; ++px) {
                const double ra = site_median(a, q.width, q.height, px, py) - bias;
                const double rb = site_median(b, q.width, q.height, px, py) - bias;
                const bool red = px == red_site[pat][0] && py == red_site[pat][1];
                CHECK(std::abs(rb / ra - (red ? 2.0 : 1.0)) < 0.05, "pattern %d site (%d,%d): wb_r x2 scales %.3f", pat, px,
                      py, rb / ra);
            }
        // The channels respond differently: the mosaic is not a grey image.
        const double r = site_median(a, q.width, q.height, red_site[pat][0], red_site[pat][1]) - bias;
        const double bl = site_median(a, q.width, q.height, 1 - red_site[pat][0], 1 - red_site[pat][1]) - bias;
        CHECK(std::abs(r / bl - 1.0) > 0.2, "pattern %d: red %.1f and blue %.1f sites look alike", pat, r, bl);
    }

    // RGB24 is B, G, R; wb_b scales the first byte. Y8 is their luminance.
    RenderRequest q = colour(320, 240);
    q.img_type = ASI_IMG_RGB24;
    q.exposure_us = 20000000;
    q.gain = 150;
    q.offset = 0;
    q.wb_r = 50;
    q.wb_b = 50;
    const Bytes c1 = render(q);
    q.wb_b = 100;
    const Bytes c2 = render(q);
    double m1[3] = {0, 0, 0}, m2[3] = {0, 0, 0};
    const std::size_t n = c1.size() / 3;
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) {
            m1[k] += c1[3 * i + k];
            m2[k] += c2[3 * i + k];
        }
    for (int k = 0; k < 3; ++k) {
        m1[k] /= double(n);
        m2[k] /= double(n);
    }
    CHECK(m1[0] > 5 && std::abs(m2[0] / m1[0] - 2.0) < 0.15, "RGB24 byte 0 (blue) %.2f -> %.2f with wb_b x2", m1[0], m2[0]);
    CHECK(std::abs(m2[1] - m1[1]) < 0.5 && std::abs(m2[2] - m1[2]) < 0.5, "wb_b changed green or red");
    q.wb_b = 50;
    q.img_type = ASI_IMG_Y8;
    const double y = mean_of(as_values(render(q), q));
    const double want = 0.114 * m1[0] + 0.587 * m1[1] + 0.299 * m1[2];
    CHECK(std::abs(y - want) < 1.0 + 0.03 * want, "Y8 mean %.2f, luminance of RGB24 %.2f", y, want);
}

// ---------------------------------------------------------------- dark subtraction

void test_dark_subtraction() {
    RenderRequest d = mono(800, 600);
    d.img_type = ASI_IMG_RAW8;
    d.dark = true;
    d.exposure_us = 30000000;
    d.temperature_c = 25.0;  // warm: hot pixels are bright
    d.offset = 0;
    const Bytes master = render(d);
    std::vector<std::size_t> hot;
    for (std::size_t i = 0; i < master.size(); ++i)
        if (master[i] > 40) hot.push_back(i);
    CHECK(hot.size() >= 3, "only %zu hot pixels in a warm dark", hot.size());

    struct Case {
        int bin, sx, sy, flip;
    };
    for (const Case c : {Case{1, 0, 0, 0}, Case{1, 37, 21, 0}, Case{1, 10, 5, ASI_FLIP_BOTH}, Case{1, 0, 0, ASI_FLIP_HORIZ},
                         Case{2, 13, 7, ASI_FLIP_VERT}}) {
        RenderRequest q = d;
        q.bin = c.bin;
        q.start_x = c.sx;
        q.start_y = c.sy;
        q.width = (800 / c.bin - c.sx) / 8 * 8;
        q.height = (600 / c.bin - c.sy) / 2 * 2;
        q.flip = c.flip;
        q.frame_index = 2;
        const Bytes raw = render(q);
        q.dark_frame = master.data();
        const Bytes sub = render(q);
        long seen = 0, left = 0;
        for (std::size_t i : hot) {
            long x = long(i % 800) / c.bin - c.sx, y = long(i / 800) / c.bin - c.sy;
            if (x < 0 || y < 0 || x >= q.width || y >= q.height) continue;
            if (c.flip & ASI_FLIP_HORIZ) x = q.width - 1 - x;
            if (c.flip & ASI_FLIP_VERT) y = q.height - 1 - y;
            const std::size_t o = std::size_t(y) * q.width + std::size_t(x);
            seen += raw[o] > 40 / (c.bin * c.bin);
            left += sub[o] > 4;
        }
        CHECK(seen > 0, "bin %d start (%d,%d) flip %d: no hot pixel in the ROI", c.bin, c.sx, c.sy, c.flip);
        CHECK(left == 0, "bin %d start (%d,%d) flip %d: %ld hot pixels survive subtraction", c.bin, c.sx, c.sy, c.flip, left);
        CHECK(*std::max_element(sub.begin(), sub.end()) <= 6, "bin %d: subtracted dark max %d", c.bin,
              *std::max_element(sub.begin(), sub.end()));
    }
    // Saturates at 0 rather than wrapping; leaves RAW16 alone.
    RenderRequest q = d;
    const Bytes white(800 * 600, 255);
    q.dark_frame = white.data();
    const Bytes z = render(q);
    CHECK(std::all_of(z.begin(), z.end(), [](std::uint8_t x) { return x == 0; }), "subtraction wrapped below 0");
    q.img_type = ASI_IMG_RAW16;
    RenderRequest q0 = q;
    q0.dark_frame = nullptr;
    CHECK(render(q) == render(q0), "dark subtraction touched RAW16");
}

// Requests a camera would reject must still not crash or read out of bounds.
void test_odd_requests() {
    const Bytes dark(64 * 48, 3);
    RenderRequest q = mono(64, 48);
    q.dark_frame = dark.data();
    q.img_type = ASI_IMG_RAW8;
    const std::function<void(RenderRequest&)> odd[] = {
        [](RenderRequest& r) { r.start_x = 40; },  // ROI past the sensor edge
        [](RenderRequest& r) { r.start_y = -5; },
        [](RenderRequest& r) { r.bin = 0; },
        [](RenderRequest& r) { r.bit_depth = 40; },
        [](RenderRequest& r) { r.bit_depth = 0; },
        [](RenderRequest& r) { r.exposure_us = -1; },
        [](RenderRequest& r) { r.gain = 100000; },
        [](RenderRequest& r) { r.elec_per_adu = 0; },
        [](RenderRequest& r) { r.bayer_pattern = 17; r.color = true; },
        [](RenderRequest& r) { r.shift_x = 1e9; r.shift_y = -1e9; },
        [](RenderRequest& r) { r.width = 1; r.height = 1; },
    };
    for (std::size_t i = 0; i < std::size(odd); ++i) {
        RenderRequest r = q;
        odd[i](r);
        Bytes b(frame_bytes(r) + 16, 0x5A);
        Renderer rr;
        rr.render(r, b.data());
        CHECK(std::all_of(b.end() - 16, b.end(), [](std::uint8_t x) { return x == 0x5A; }), "odd request %zu overran", i);
    }
    RenderRequest w = q;
    w.width = 0;
    Renderer rr;
    std::uint8_t canary = 0x77;
    rr.render(w, &canary);
    CHECK(canary == 0x77, "zero-width request wrote");
}

// ---------------------------------------------------------------- timing

double frame_ms(RenderRequest q, int frames) {
    Renderer rr;
    Bytes b(frame_bytes(q));
    rr.render(q, b.data());
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= frames; ++i) {
        q.frame_index = std::uint64_t(i);
        rr.render(q, b.data());
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / frames;
}

void test_timing() {
    RenderRequest a = mono(1920, 1080);
    a.exposure_us = 32;
    a.img_type = ASI_IMG_RAW8;
    RenderRequest b = mono(4144, 2822);
    b.bit_depth = 14;
    b.exposure_us = 32;
    RenderRequest c = colour(4144, 2822);
    c.exposure_us = 32;
    c.img_type = ASI_IMG_RGB24;
    Renderer first;
    Bytes buf(frame_bytes(a));
    const auto t0 = std::chrono::steady_clock::now();
    first.render(a, buf.data());
    const double first_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double ta = frame_ms(a, 50), tb = frame_ms(b, 10), tc = frame_ms(c, 5);
    std::printf("timing: 1920x1080 RAW8 %.3f ms/frame (first frame %.1f ms), 4144x2822 RAW16 %.3f ms/frame, "
                "4144x2822 RGB24 %.3f ms/frame\n",
                ta, first_ms, tb, tc);
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
    // Ten times the expected cost: only a frame rebuilt from scratch would miss it.
    CHECK(ta < 5.0, "1920x1080 RAW8 takes %.3f ms per frame", ta);
#endif
}

// ---------------------------------------------------------------- BMP

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v);
    put16(b, at + 2, v >> 16);
}

struct BmpSpec {
    int width = 13, height = 7;
    int header = 40;  // 40, 108, 124
    int bits = 8;     // 8, 24, 32
    bool top_down = false;
    int palette = 256;  // entries (8-bit)
};

// A BMP whose grey value at (x, y) is grey(x, y); 8-bit files use a reversed grey
// palette with indices 255 - grey, so a reader that ignores the palette fails.
Bytes make_bmp(const BmpSpec& s, const std::function<std::uint8_t(int, int)>& grey) {
    const std::size_t pal = s.bits == 8 ? std::size_t(s.palette) * 4 : 0;
    const std::size_t off = 14 + std::size_t(s.header) + pal;
    const std::size_t stride = (std::size_t(s.width) * s.bits + 31) / 32 * 4;
    Bytes b(off + stride * std::size_t(s.height), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, std::uint32_t(b.size()));
    put32(b, 10, std::uint32_t(off));
    put32(b, 14, std::uint32_t(s.header));
    put32(b, 18, std::uint32_t(s.width));
    put32(b, 22, std::uint32_t(s.top_down ? -s.height : s.height));
    put16(b, 26, 1);
    put16(b, 28, std::uint32_t(s.bits));
    put32(b, 46, s.bits == 8 ? std::uint32_t(s.palette == 256 ? 0 : s.palette) : 0);
    for (int i = 0; i < (s.bits == 8 ? s.palette : 0); ++i) {
        const std::uint8_t g = std::uint8_t(255 - i);
        b[14 + s.header + 4 * i] = std::uint8_t(g / 2);  // blue differs: the reader must take green
        b[14 + s.header + 4 * i + 1] = g;
        b[14 + s.header + 4 * i + 2] = std::uint8_t(g / 3);
    }
    for (int y = 0; y < s.height; ++y) {
        const int fy = s.top_down ? y : s.height - 1 - y;
        for (int x = 0; x < s.width; ++x) {
            std::uint8_t* p = &b[off + std::size_t(fy) * stride + std::size_t(x) * (s.bits / 8)];
            const std::uint8_t g = grey(x, y);
            if (s.bits == 8) {
                p[0] = std::uint8_t(255 - g);
            } else {
                p[0] = std::uint8_t(g ^ 0x55);
                p[1] = g;
                p[2] = std::uint8_t(g ^ 0xAA);
                if (s.bits == 32) p[3] = 0xFF;
            }
        }
    }
    return b;
}

std::string write_file(const std::string& name, const Bytes& b) {
    const std::string path = scratch + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return path;
}

void test_bmp_roundtrip() {
    std::mt19937 rng(1);
    for (int w : {1, 2, 3, 4, 5, 7, 640})
        for (int h : {1, 3, 480}) {
            Bytes px(std::size_t(w) * h);
            for (auto& p : px) p = std::uint8_t(rng());
            const std::string path = scratch + "/rt.bmp";
            CHECK(camsim::write_grey_bmp(path.c_str(), w, h, px.data()), "write %dx%d failed", w, h);
            CHECK(std::filesystem::file_size(path) == 1078 + std::size_t((w + 3) / 4 * 4) * h, "%dx%d: file size %ju", w, h,
                  std::uintmax_t(std::filesystem::file_size(path)));
            std::vector<std::uint8_t> back;
            const int rc = camsim::load_dark_bmp(path.c_str(), w, h, back);
            CHECK(rc == ASI_SUCCESS && back == px, "%dx%d: round trip rc %d", w, h, rc);
        }
    CHECK(!camsim::write_grey_bmp((scratch + "/no/such/dir/x.bmp").c_str(), 4, 4, Bytes(16).data()),
          "writing into a missing directory succeeded");
    CHECK(!camsim::write_grey_bmp((scratch + "/z.bmp").c_str(), 0, 4, Bytes(16).data()), "zero width accepted");
}

void test_bmp_variants() {
    auto grey = [](int x, int y) { return std::uint8_t(x * 17 + y * 31); };
    for (int header : {40, 108, 124})
        for (int bits : {8, 24, 32})
            for (bool td : {false, true})
                for (int w : {13, 16}) {
                    BmpSpec s;
                    s.header = header;
                    s.bits = bits;
                    s.top_down = td;
                    s.width = w;
                    const std::string p = write_file("v.bmp", make_bmp(s, grey));
                    std::vector<std::uint8_t> out;
                    const int rc = camsim::load_dark_bmp(p.c_str(), s.width, s.height, out);
                    bool ok = rc == ASI_SUCCESS && out.size() == std::size_t(s.width * s.height);
                    for (int y = 0; ok && y < s.height; ++y)
                        for (int x = 0; ok && x < s.width; ++x) ok = out[std::size_t(y) * s.width + x] == grey(x, y);
                    CHECK(ok, "header %d bits %d top-down %d width %d: rc %d or wrong pixels", header, bits, td, w, rc);
                }
    // A short palette is fine while every index stays inside it.
    BmpSpec s;
    s.palette = 16;
    const std::string p = write_file("pal.bmp", make_bmp(s, [](int, int) { return std::uint8_t(250); }));
    std::vector<std::uint8_t> out;
    CHECK(camsim::load_dark_bmp(p.c_str(), s.width, s.height, out) == ASI_SUCCESS && out[0] == 250, "16-entry palette");
}

void test_bmp_malformed() {
    auto grey = [](int x, int y) { return std::uint8_t(x + y); };
    const BmpSpec s;
    const Bytes good = make_bmp(s, grey);
    const Bytes good24 = make_bmp(BmpSpec{13, 7, 40, 24, false, 0}, grey);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> edit;
        bool rgb;
    };
    const Case cases[] = {
        {"bad magic", [](Bytes& b) { b[0] = 'X'; }, false},
        {"empty file", [](Bytes& b) { b.clear(); }, false},
        {"truncated file header", [](Bytes& b) { b.resize(12); }, false},
        {"truncated info header", [](Bytes& b) { b.resize(30); }, false},
        {"truncated palette", [](Bytes& b) { b.resize(14 + 40 + 100); }, false},
        {"truncated pixels", [](Bytes& b) { b.pop_back(); }, false},
        {"truncated pixels 24", [](Bytes& b) { b.resize(b.size() - 3); }, true},
        {"core header", [](Bytes& b) { put32(b, 14, 12); }, false},
        {"header size 64", [](Bytes& b) { put32(b, 14, 64); }, false},
        {"huge header", [](Bytes& b) { put32(b, 14, 0xFFFFFFF0u); }, false},
        {"1 bit", [](Bytes& b) { put16(b, 28, 1); }, false},
        {"4 bit", [](Bytes& b) { put16(b, 28, 4); }, false},
        {"16 bit", [](Bytes& b) { put16(b, 28, 16); }, true},
        {"0 bit", [](Bytes& b) { put16(b, 28, 0); }, false},
        {"RLE8", [](Bytes& b) { put32(b, 30, 1); }, false},
        {"RLE4", [](Bytes& b) { put32(b, 30, 2); }, false},
        {"JPEG", [](Bytes& b) { put32(b, 30, 4); }, true},
        {"bitfields on 24-bit", [](Bytes& b) { put32(b, 30, 3); }, true},
        {"planes 0", [](Bytes& b) { put16(b, 26, 0); }, false},
        {"width 0", [](Bytes& b) { put32(b, 18, 0); }, false},
        {"negative width", [](Bytes& b) { put32(b, 18, std::uint32_t(-13)); }, false},
        {"height 0", [](Bytes& b) { put32(b, 22, 0); }, false},
        {"height INT_MIN", [](Bytes& b) { put32(b, 22, 0x80000000u); }, false},
        {"absurd width", [](Bytes& b) { put32(b, 18, 0x7FFFFFFFu); }, false},
        {"absurd height", [](Bytes& b) { put32(b, 22, 0x7FFFFFFFu); }, true},
        {"width mismatch", [](Bytes& b) { put32(b, 18, 12); }, false},
        {"height mismatch", [](Bytes& b) { put32(b, 22, 6); }, false},
        {"top-down height mismatch", [](Bytes& b) { put32(b, 22, std::uint32_t(-8)); }, false},
        {"offset beyond file", [](Bytes& b) { put32(b, 10, std::uint32_t(b.size() + 1)); }, false},
        {"offset huge", [](Bytes& b) { put32(b, 10, 0xFFFFFFFFu); }, false},
        {"offset inside header", [](Bytes& b) { put32(b, 10, 20); }, true},
        {"pixels run past the end", [](Bytes& b) { put32(b, 10, std::uint32_t(b.size() - 10)); }, true},
        {"palette over the pixels", [](Bytes& b) { put32(b, 10, 14 + 40 + 4 * 100); }, false},
        {"palette too large", [](Bytes& b) { put32(b, 46, 300); }, false},
        {"index outside palette", [](Bytes& b) { put32(b, 46, 16); }, false},
    };
    for (const Case& c : cases) {
        Bytes b = c.rgb ? good24 : good;
        c.edit(b);
        const std::string p = write_file("bad.bmp", b);
        std::vector<std::uint8_t> out{1, 2, 3};
        const int rc = camsim::load_dark_bmp(p.c_str(), s.width, s.height, out);
        CHECK(rc == ASI_ERROR_INVALID_FILEFORMAT, "%s: rc %d", c.what, rc);
        CHECK(out == (std::vector<std::uint8_t>{1, 2, 3}), "%s: output changed on failure", c.what);
    }
    // The untouched files load: the cases above fail for their edit alone.
    std::vector<std::uint8_t> out;
    CHECK(camsim::load_dark_bmp(write_file("g8.bmp", good).c_str(), s.width, s.height, out) == ASI_SUCCESS, "good 8-bit");
    CHECK(camsim::load_dark_bmp(write_file("g24.bmp", good24).c_str(), s.width, s.height, out) == ASI_SUCCESS, "good 24-bit");
    // The caller's size must match the file.
    CHECK(camsim::load_dark_bmp(write_file("g8.bmp", good).c_str(), s.width + 1, s.height, out) == ASI_ERROR_INVALID_FILEFORMAT,
          "wrong expected width accepted");

    const char* paths[] = {nullptr, "", "/no/such/file.bmp"};
    for (const char* p : paths)
        CHECK(camsim::load_dark_bmp(p, 13, 7, out) == ASI_ERROR_INVALID_PATH, "path %s", p ? p : "(null)");
    CHECK(camsim::load_dark_bmp(scratch.c_str(), 13, 7, out) == ASI_ERROR_INVALID_PATH, "directory");
}

void test_bmp_fuzz() {
    std::mt19937_64 rng(12345);
    auto grey = [](int x, int y) { return std::uint8_t(x * 3 + y); };
    std::vector<Bytes> seeds;
    for (int header : {40, 124})
        for (int bits : {8, 24, 32}) {
            BmpSpec s;
            s.header = header;
            s.bits = bits;
            seeds.push_back(make_bmp(s, grey));
        }
    const std::uint32_t interesting[] = {0, 1, 7, 13, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu,
                                         0xFFFFFFF3u, 40, 108, 124, 1078};
    int loaded = 0, rejected = 0;
    const std::string path = scratch + "/fuzz.bmp";
    for (int it = 0; it < 6000; ++it) {
        Bytes b = seeds[rng() % seeds.size()];
        switch (rng() % 4) {
            case 0: b.resize(rng() % (b.size() + 1)); break;
            case 1:
                for (int k = 1 + int(rng() % 4); k > 0; --k) b[rng() % std::min<std::size_t>(b.size(), 80)] = std::uint8_t(rng());
                break;
            case 2: put32(b, 2 + 4 * (rng() % 12), interesting[rng() % std::size(interesting)]); break;
            default:
                put32(b, 2 + 4 * (rng() % 12), interesting[rng() % std::size(interesting)]);
                b.resize(rng() % (b.size() + 1));
                break;
        }
        {
            std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        }
        std::vector<std::uint8_t> out;
        const int rc = camsim::load_dark_bmp(path.c_str(), 13, 7, out);
        if (rc == ASI_SUCCESS) {
            ++loaded;
            CHECK(out.size() == 13 * 7, "fuzz %d: loaded %zu bytes", it, out.size());
        } else {
            ++rejected;
            CHECK(rc == ASI_ERROR_INVALID_FILEFORMAT, "fuzz %d: rc %d", it, rc);
        }
    }
    std::printf("bmp fuzz: %d loaded, %d rejected\n", loaded, rejected);
    CHECK(loaded > 0 && rejected > 0, "fuzz exercised only one outcome");
}

}  // namespace

int main(int argc, char** argv) {
    scratch = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::pair<const char*, void (*)()> tests[] = {
        {"sizes", test_sizes},
        {"determinism", test_determinism},
        {"dark_and_exposure", test_dark_and_exposure},
        {"star_shift", test_star_shift},
        {"roi_and_bin", test_roi_and_bin},
        {"formats", test_formats},
        {"flip", test_flip},
        {"colour", test_colour},
        {"dark_subtraction", test_dark_subtraction},
        {"odd_requests", test_odd_requests},
        {"bmp_roundtrip", test_bmp_roundtrip},
        {"bmp_variants", test_bmp_variants},
        {"bmp_malformed", test_bmp_malformed},
        {"bmp_fuzz", test_bmp_fuzz},
        {"timing", test_timing},
    };
    for (const auto& [name, fn] : tests) {
        const int before = failures;
        fn();
        std::printf("%s %s\n", failures == before ? "ok  " : "FAIL", name);
    }
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}

// The simulated sensor.
//
// A frame is built in two stages so that streaming stays cheap:
//
//  1. When the settings change, the noiseless expected frame is computed for the
//     current ROI in output order (binned, flipped, one element per output sample)
//     as a 16-bit mean (left-aligned ADC units, half an ADC step added so that
//     truncation rounds) and a 16-bit standard deviation in the same units.
//  2. Each frame adds mean + sigma * n, with n read from a shared table of
//     Gaussian samples at pseudo-random offsets chosen from (seed, frame_index),
//     then clips, drops the bits below the ADC's resolution and converts.
//
// Physical model (electrons per sensor pixel unless noted):
//  - stars: an infinite field generated tile by tile from the seed, so ROI,
//    binning and any shift see the same sky; flux follows a power-law
//    magnitude distribution (many faint, few bright); the PSF is a Gaussian
//    core plus a faint wide Gaussian halo, integrated exactly over each output
//    pixel with erf, so centroids are unbiased to well below a tenth of a pixel;
//  - sky background, dark current doubling every 6 C, hot pixels with a much
//    higher dark current at fixed positions from the seed;
//  - gain factor 10^(gain/200); ADC units = electrons * factor / elec_per_adu;
//  - bias = offset * 16 in 16-bit left-aligned units, whatever the bit depth;
//  - read noise in electrons falls with gain; shot noise is Gaussian with
//    variance equal to the signal. Noise is exact in variance per pixel, since
//    sigma is precomputed from each pixel's expected signal;
//  - binning averages the bin x bin sensor pixels (levels do not change with
//    bin, noise drops by the bin factor);
//  - colour sensors: per-channel response and star colours, white balance as a
//    digital gain on red and blue; raw formats give the Bayer mosaic of the
//    sensor position (binned colour raw keeps a Bayer mosaic: each binned pixel
//    averages its block in the channel its position calls for); RGB24 renders
//    each channel directly; Y8 is the luminance 0.299 R + 0.587 G + 0.114 B;
//  - dark subtraction (RAW8, Y8) subtracts the average of the dark's bin x bin
//    block under each output pixel, after noise, saturating at 0.
//  - gamma is not modelled (the outputs are linear).
#include "renderer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "ASICamera2.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace camsim {

namespace {

// Star field.
constexpr int kTile = 256;                 // star field tile, sensor pixels
constexpr double kStarsPerPixel = 300e-6;  // ~300 stars per megapixel
constexpr double kMagRange = 10.0;         // faintest star is 10 magnitudes below the brightest
constexpr double kCountSlope = 0.35;       // log10 N(<m) grows 0.35 per magnitude
constexpr double kBrightestFlux = 1.5e6;   // electrons per second, all of the star
constexpr double kCoreFwhm = 2.7;          // pixels
constexpr double kHaloFwhm = 7.0;
constexpr double kHaloFraction = 0.1;
constexpr double kFwhmToSigma = 1.0 / 2.3548200450309493;
constexpr double kHaloReach = 5.0 * kHaloFwhm * kFwhmToSigma;  // pixels rendered around a star

// Background and sensor.
constexpr double kSkyRate = 3.0;           // e-/s/px
constexpr double kDarkRateAtM10 = 0.002;   // e-/s/px at -10 C
constexpr double kDarkDoublingC = 6.0;
constexpr double kHotMinRate = 5.0;        // e-/s at -10 C, log-uniform between these
constexpr double kHotMaxRate = 200.0;
constexpr long kPixelsPerHotPixel = 50000;
constexpr double kBiasPerOffset = 16.0;    // 16-bit units per offset step

// Colour response (R, G, B). Blue and red are weaker so that the default
// white balance (wb_r 52, wb_b 95, applied as wb / 50) is roughly neutral.
constexpr double kChannelQe[3] = {50.0 / 52.0, 1.0, 50.0 / 95.0};
constexpr double kSkyColour[3] = {1.1, 1.0, 0.8};
constexpr double kLuma[3] = {0.299, 0.587, 0.114};
constexpr int kBayer[4][2][2] = {
    {{0, 1}, {1, 2}},  // RG
    {{2, 1}, {1, 0}},  // BG
    {{1, 0}, {2, 1}},  // GR
    {{1, 2}, {0, 1}},  // GB
};

// Noise table: int8 samples of a unit Gaussian scaled by 16 (clipped at ~7.9 sigma).
constexpr int kNoiseShift = 4;
constexpr std::size_t kNoiseTableSize = std::size_t{1} << 22;
constexpr std::size_t kNoiseChunk = 8192;  // samples read from one table offset

std::uint64_t mix64(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct Rng {
    std::uint64_t state;
    explicit Rng(std::uint64_t s) : state(s) {}
    std::uint64_t next() {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // In [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

const std::int8_t* noise_table() {
    static const std::vector<std::int8_t> table = [] {
        std::vector<std::int8_t> t(kNoiseTableSize);
        Rng rng(0x6e6f697365746162ULL);
        const double scale = double(1 << kNoiseShift);
        for (std::size_t i = 0; i < t.size(); i += 2) {
            // Box-Muller: two independent samples per pair of uniforms.
            const double u1 = 1.0 - rng.uniform();
            const double u2 = rng.uniform();
            const double r = std::sqrt(-2.0 * std::log(u1));
            const double a = 2.0 * std::numbers::pi * u2;
            const double z[2] = {r * std::cos(a), r * std::sin(a)};
            for (int k = 0; k < 2 && i + k < t.size(); ++k)
                t[i + k] = static_cast<std::int8_t>(std::clamp(std::lround(z[k] * scale), -127L, 127L));
        }
        return t;
    }();
    return table.data();
}

struct Star {
    double x, y;       // sensor pixels, continuous (pixel i spans [i, i+1))
    double flux;       // electrons per second
    double colour[3];  // relative R, G, B
};

// Stars of one tile; tiles can have any index so shifted fields stay populated.
void tile_stars(std::uint64_t seed, long tx, long ty, std::vector<Star>& out) {
    Rng rng(mix64(seed ^ mix64(static_cast<std::uint64_t>(tx) * 0x100000001B3ULL ^
                               mix64(static_cast<std::uint64_t>(ty) + 0x5354415253ULL))));
    // Poisson count (Knuth), mean ~20 per tile.
    const double lambda = kStarsPerPixel * kTile * kTile;
    const double limit = std::exp(-lambda);
    int count = -1;
    for (double p = 1.0; p > limit; p *= rng.uniform()) ++count;
    const double span = std::pow(10.0, kCountSlope * kMagRange) - 1.0;
    for (int i = 0; i < count; ++i) {
        Star s;
        s.x = (static_cast<double>(tx) + rng.uniform()) * kTile;
        s.y = (static_cast<double>(ty) + rng.uniform()) * kTile;
        // Magnitudes with density ~ 10^(slope * m) on [0, range].
        const double mag = std::log10(1.0 + rng.uniform() * span) / kCountSlope;
        s.flux = kBrightestFlux * std::pow(10.0, -0.4 * mag);
        const double t = rng.uniform();  // 0 blue-white .. 1 orange
        s.colour[0] = 0.75 + 0.5 * t;
        s.colour[1] = 1.0;
        s.colour[2] = 1.25 - 0.6 * t;
        out.push_back(s);
    }
}

struct HotPixel {
    long x, y;
    double rate;  // e-/s at -10 C
};

std::vector<HotPixel> hot_pixels(std::uint64_t seed, int sw, int sh) {
    std::vector<HotPixel> hot;
    if (sw <= 0 || sh <= 0) return hot;
    const long n = std::max(3L, static_cast<long>(sw) * sh / kPixelsPerHotPixel);
    Rng rng(mix64(seed ^ 0x484f545049584cULL));
    hot.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
        HotPixel h;
        h.x = static_cast<long>(rng.next() % static_cast<std::uint64_t>(sw));
        h.y = static_cast<long>(rng.next() % static_cast<std::uint64_t>(sh));
        h.rate = kHotMinRate * std::pow(kHotMaxRate / kHotMinRate, rng.uniform());
        hot.push_back(h);
    }
    return hot;
}

// Standard normal CDF.
double phi(double z) { return 0.5 * std::erfc(-z * (1.0 / std::numbers::sqrt2)); }

bool is_color_output(const RenderRequest& r) { return r.color; }

int clamp_bit_depth(int bd) { return std::clamp(bd, 8, 16); }

// Everything that changes the expected frame (all but frame_index and dark_frame).
struct Key {
    int sensor_width, sensor_height, bit_depth;
    bool color;
    int bayer_pattern;
    double pixel_size_um, elec_per_adu;
    int max_gain, start_x, start_y, width, height, bin, img_type;
    long exposure_us, gain, offset, gamma, wb_r, wb_b;
    int flip;
    bool dark;
    double temperature_c, shift_x, shift_y;
    std::uint64_t seed;

    static Key of(const RenderRequest& r) {
        return Key{r.sensor_width, r.sensor_height, r.bit_depth, r.color, r.bayer_pattern,
                   r.pixel_size_um, r.elec_per_adu, r.max_gain, r.start_x, r.start_y,
                   r.width, r.height, r.bin, r.img_type, r.exposure_us, r.gain, r.offset,
                   r.gamma, r.wb_r, r.wb_b, r.flip, r.dark, r.temperature_c, r.shift_x,
                   r.shift_y, r.seed};
    }
    bool operator==(const Key&) const = default;
};

}  // namespace

std::size_t frame_bytes(const RenderRequest& req) {
    if (req.width <= 0 || req.height <= 0) return 0;
    std::size_t per;
    switch (req.img_type) {
        case ASI_IMG_RAW8:
        case ASI_IMG_Y8: per = 1; break;
        case ASI_IMG_RAW16: per = 2; break;
        case ASI_IMG_RGB24: per = 3; break;
        default: return 0;
    }
    return static_cast<std::size_t>(req.width) * static_cast<std::size_t>(req.height) * per;
}

struct Renderer::Impl {
    bool valid = false;
    Key key{};
    std::vector<std::uint16_t> mean;   // output order, flipped
    std::vector<std::uint16_t> sigma;
    std::vector<std::uint8_t> dark_row;
    int samples_per_pixel = 1;
    std::uint16_t mask = 0xFFFF;        // keeps the ADC's bits of a left-aligned value
    bool wide = false;                  // sigma holds sigma itself, not 16 * sigma

    void rebuild(const RenderRequest& r);
    void emit(const RenderRequest& r, std::uint8_t* out);
};

Renderer::Renderer() : impl_(std::make_unique<Impl>()) {}
Renderer::~Renderer() = default;

void Renderer::Impl::rebuild(const RenderRequest& r) {
    const int w = r.width, h = r.height;
    const int bin = std::max(1, r.bin);
    const bool color = is_color_output(r);
    const int channels = color ? 3 : 1;
    const std::size_t npix = static_cast<std::size_t>(w) * h;
    const double t = std::max(0L, r.exposure_us) * 1e-6;
    const double x0 = static_cast<double>(r.start_x) * bin;  // sensor coordinate of the ROI's left edge
    const double y0 = static_cast<double>(r.start_y) * bin;
    const double inv_area = 1.0 / (double(bin) * bin);

    // Expected electrons per sensor pixel, averaged over each output pixel's block, per channel.
    std::vector<float> e(npix * channels);
    auto plane = [&](int c) { return e.data() + npix * c; };

    double qe[3] = {1.0, 1.0, 1.0};
    if (color) std::copy(std::begin(kChannelQe), std::end(kChannelQe), qe);

    const double dark_rate = kDarkRateAtM10 * std::exp2((r.temperature_c + 10.0) / kDarkDoublingC);
    for (int c = 0; c < channels; ++c) {
        double level = dark_rate * t;
        if (!r.dark) level += kSkyRate * t * qe[c] * (color ? kSkyColour[c] : 1.0);
        std::fill(plane(c), plane(c) + npix, static_cast<float>(level));
    }

    if (!r.dark && t > 0.0) {
        // Stars whose light can reach the ROI, taken from every tile that overlaps it.
        const double fx0 = x0 - r.shift_x - kHaloReach, fx1 = x0 + double(w) * bin - r.shift_x + kHaloReach;
        const double fy0 = y0 - r.shift_y - kHaloReach, fy1 = y0 + double(h) * bin - r.shift_y + kHaloReach;
        std::vector<Star> stars;
        const long tx0 = static_cast<long>(std::floor(fx0 / kTile)), tx1 = static_cast<long>(std::floor(fx1 / kTile));
        const long ty0 = static_cast<long>(std::floor(fy0 / kTile)), ty1 = static_cast<long>(std::floor(fy1 / kTile));
        for (long ty = ty0; ty <= ty1; ++ty)
            for (long tx = tx0; tx <= tx1; ++tx) tile_stars(r.seed, tx, ty, stars);

        const double sc = kCoreFwhm * kFwhmToSigma, sh = kHaloFwhm * kFwhmToSigma;
        std::vector<double> cx, hx, cy, hy;
        auto profile = [&](double centre, double origin, int n, std::vector<double>& core,
                           std::vector<double>& halo) -> std::pair<int, int> {
            // Output pixels k in [lo, hi) cover [origin + k*bin, origin + (k+1)*bin).
            int lo = static_cast<int>(std::max(0.0, std::floor((centre - kHaloReach - origin) / bin)));
            int hi = static_cast<int>(std::min(double(n), std::floor((centre + kHaloReach - origin) / bin) + 1.0));
            core.clear();
            halo.clear();
            if (lo >= hi) return {0, 0};
            double pc = phi((origin + double(lo) * bin - centre) / sc);
            double ph = phi((origin + double(lo) * bin - centre) / sh);
            for (int k = lo; k < hi; ++k) {
                const double edge = origin + double(k + 1) * bin - centre;
                const double nc = phi(edge / sc), nh = phi(edge / sh);
                core.push_back(nc - pc);
                halo.push_back(nh - ph);
                pc = nc;
                ph = nh;
            }
            return {lo, hi};
        };
        for (const Star& s : stars) {
            const double sx = s.x + r.shift_x, sy = s.y + r.shift_y;
            auto [xlo, xhi] = profile(sx, x0, w, cx, hx);
            if (xlo >= xhi) continue;
            auto [ylo, yhi] = profile(sy, y0, h, cy, hy);
            if (ylo >= yhi) continue;
            for (int c = 0; c < channels; ++c) {
                const double f = s.flux * t * inv_area * qe[c] * (color ? s.colour[c] : 1.0);
                float* p = plane(c);
                for (int j = ylo; j < yhi; ++j) {
                    const double a = f * (1.0 - kHaloFraction) * cy[j - ylo];
                    const double b = f * kHaloFraction * hy[j - ylo];
                    float* row = p + static_cast<std::size_t>(j) * w;
                    for (int k = xlo; k < xhi; ++k)
                        row[k] += static_cast<float>(a * cx[k - xlo] + b * hx[k - xlo]);
                }
            }
        }
    }

    // Hot pixels add to whatever output pixel holds their sensor position.
    for (const HotPixel& hp : hot_pixels(r.seed, r.sensor_width, r.sensor_height)) {
        const double rx = double(hp.x) - x0, ry = double(hp.y) - y0;
        if (rx < 0 || ry < 0) continue;
        const long k = static_cast<long>(rx) / bin, j = static_cast<long>(ry) / bin;
        if (k >= w || j >= h) continue;
        const double extra = hp.rate * std::exp2((r.temperature_c + 10.0) / kDarkDoublingC) * t * inv_area;
        for (int c = 0; c < channels; ++c) plane(c)[static_cast<std::size_t>(j) * w + k] += static_cast<float>(extra);
    }

    // Electrons to left-aligned ADC units.
    const int bd = clamp_bit_depth(r.bit_depth);
    const int shift = 16 - bd;
    mask = static_cast<std::uint16_t>(0xFFFFu << shift);
    const double factor = std::pow(10.0, static_cast<double>(r.gain) / 200.0);
    const double epa = r.elec_per_adu > 0 ? r.elec_per_adu : 1.0;
    const double g16 = factor / epa * std::ldexp(1.0, shift);  // 16-bit units per electron
    const double read_e = 1.2 + 2.3 / std::sqrt(factor);
    const double read_var = read_e * read_e;
    const double bias = static_cast<double>(std::max(0L, r.offset)) * kBiasPerOffset + (shift > 0 ? std::ldexp(1.0, shift - 1) : 0.0);
    double wb[3] = {1.0, 1.0, 1.0};
    if (color) {
        wb[0] = static_cast<double>(std::max(0L, r.wb_r)) / 50.0;
        wb[2] = static_cast<double>(std::max(0L, r.wb_b)) / 50.0;
    }

    samples_per_pixel = r.img_type == ASI_IMG_RGB24 ? 3 : 1;
    const std::size_t n = npix * samples_per_pixel;
    mean.resize(n);
    sigma.resize(n);
    const bool hflip = r.flip & ASI_FLIP_HORIZ, vflip = r.flip & ASI_FLIP_VERT;
    const int pattern = std::clamp(r.bayer_pattern, 0, 3);

    std::vector<float> sd(n);  // standard deviation, 16-bit units
    auto store = [&](std::size_t idx, double m, double var) {
        const double s = std::sqrt(std::max(0.0, var));
        if (m - 5.0 * s >= 65535.0) {  // saturated whatever the noise
            mean[idx] = 65535;
            sd[idx] = 0.0f;
            return;
        }
        mean[idx] = static_cast<std::uint16_t>(std::min(65535.0, std::max(0.0, m) + 0.5));
        sd[idx] = static_cast<float>(s);
    };
    const double var_scale = inv_area;  // variance of an average of bin*bin pixels
    for (int j = 0; j < h; ++j) {
        const int oj = vflip ? h - 1 - j : j;
        for (int k = 0; k < w; ++k) {
            const int ok = hflip ? w - 1 - k : k;
            const std::size_t src = static_cast<std::size_t>(j) * w + k;
            const std::size_t dst = (static_cast<std::size_t>(oj) * w + ok) * samples_per_pixel;
            if (!color) {
                const double el = e[src];
                store(dst, bias + el * g16, g16 * g16 * (el + read_var) * var_scale);
            } else if (r.img_type == ASI_IMG_RGB24) {
                for (int c = 0; c < 3; ++c) {
                    const double el = plane(c)[src], gc = g16 * wb[c];
                    store(dst + (2 - c), bias + el * gc, gc * gc * (el + read_var) * var_scale);  // B, G, R
                }
            } else if (r.img_type == ASI_IMG_Y8) {
                double m = bias, var = 0.0;
                for (int c = 0; c < 3; ++c) {
                    const double el = plane(c)[src], gc = g16 * wb[c] * kLuma[c];
                    m += el * gc;
                    var += gc * gc * (el + read_var) * var_scale;
                }
                store(dst, m, var);
            } else {
                const int c = kBayer[pattern][(r.start_y + j) & 1][(r.start_x + k) & 1];
                const double el = plane(c)[src], gc = g16 * wb[c];
                store(dst, bias + el * gc, gc * gc * (el + read_var) * var_scale);
            }
        }
    }

    // The 16-bit kernel takes 16 * sigma; larger noise (extreme gains) needs the wide one.
    const float max_sd = n ? *std::max_element(sd.begin(), sd.end()) : 0.0f;
    wide = max_sd * 16.0f + 0.5f > 65535.0f;
    const float scale = wide ? 1.0f : 16.0f;
    for (std::size_t i = 0; i < n; ++i)
        sigma[i] = static_cast<std::uint16_t>(std::min(65535.0f, sd[i] * scale + 0.5f));
    dark_row.resize(static_cast<std::size_t>(w) + 16);
}

namespace {

// A noisy sample, 16-bit units, from mean m, s = 16 * sigma and a table sample n
// (a unit Gaussian times 16). Written as the SSE2 kernel computes it (an unsigned
// high multiply by the offset-binary sample), so both give identical bytes.
inline unsigned noisy(std::uint16_t m, std::uint16_t s, std::int8_t n) {
    const unsigned u = (static_cast<unsigned>(static_cast<std::uint8_t>(n)) << 8) ^ 0x8000u;
    const int noise = static_cast<int>((static_cast<unsigned>(s) * u) >> 16) - static_cast<int>(s >> 1);
    return static_cast<unsigned>(std::clamp(static_cast<int>(m) + noise, 0, 65535));
}

// Same with s = sigma, for noise too large for 16 bits.
inline unsigned noisy_wide(std::uint16_t m, std::uint16_t s, std::int8_t n) {
    const int noise = (static_cast<int>(s) * n) >> kNoiseShift;
    return static_cast<unsigned>(std::clamp(static_cast<int>(m) + noise, 0, 65535));
}

enum class Out { raw16, raw8, raw8_dark };

template <Out kind, bool wide>
void scalar_kernel(const std::uint16_t* __restrict m, const std::uint16_t* __restrict s,
                   const std::int8_t* __restrict n, std::size_t len, std::uint16_t mask,
                   const std::uint8_t* __restrict d, std::uint8_t* __restrict out) {
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned v = wide ? noisy_wide(m[i], s[i], n[i]) : noisy(m[i], s[i], n[i]);
        if constexpr (kind == Out::raw16) {
            const unsigned q = v & mask;
            out[2 * i] = static_cast<std::uint8_t>(q);
            out[2 * i + 1] = static_cast<std::uint8_t>(q >> 8);
        } else if constexpr (kind == Out::raw8) {
            out[i] = static_cast<std::uint8_t>(v >> 8);
        } else {
            const int q = static_cast<int>(v >> 8) - d[i];
            out[i] = static_cast<std::uint8_t>(q < 0 ? 0 : q);
        }
    }
}

template <Out kind>
void kernel(const std::uint16_t* __restrict m, const std::uint16_t* __restrict s,
            const std::int8_t* __restrict n, std::size_t len, std::uint16_t mask,
            const std::uint8_t* __restrict d, std::uint8_t* __restrict out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i sign = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i keep = _mm_set1_epi16(static_cast<short>(mask));
    auto noisy8 = [&](std::size_t k) {
        const __m128i mm = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + k));
        const __m128i ss = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
        const __m128i nn = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(n + k));
        const __m128i u = _mm_xor_si128(_mm_unpacklo_epi8(zero, nn), sign);
        const __m128i noise = _mm_sub_epi16(_mm_mulhi_epu16(ss, u), _mm_srli_epi16(ss, 1));
        const __m128i up = _mm_max_epi16(noise, zero);
        const __m128i down = _mm_max_epi16(_mm_sub_epi16(zero, noise), zero);
        return _mm_subs_epu16(_mm_adds_epu16(mm, up), down);
    };
    for (; i + 16 <= len; i += 16) {
        const __m128i a = noisy8(i), b = noisy8(i + 8);
        if constexpr (kind == Out::raw16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_and_si128(a, keep));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_and_si128(b, keep));
        } else {
            __m128i q = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
            if constexpr (kind == Out::raw8_dark)
                q = _mm_subs_epu8(q, _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), q);
        }
    }
#endif
    scalar_kernel<kind, false>(m + i, s + i, n + i, len - i, mask, d ? d + i : nullptr,
                               out + (kind == Out::raw16 ? 2 * i : i));
}

}  // namespace

void Renderer::Impl::emit(const RenderRequest& r, std::uint8_t* out) {
    const int w = r.width, h = r.height;
    const std::size_t row_len = static_cast<std::size_t>(w) * samples_per_pixel;
    const int out_bytes = r.img_type == ASI_IMG_RAW16 ? 2 : 1;
    const bool subtract = r.dark_frame != nullptr && (r.img_type == ASI_IMG_RAW8 || r.img_type == ASI_IMG_Y8);
    const bool hflip = r.flip & ASI_FLIP_HORIZ, vflip = r.flip & ASI_FLIP_VERT;
    const int bin = std::max(1, r.bin);
    const std::int8_t* table = noise_table();
    const std::uint64_t base = mix64(r.seed ^ mix64(r.frame_index ^ 0x4652414d45ULL));

    for (int j = 0; j < h; ++j) {
        const std::uint16_t* m = mean.data() + static_cast<std::size_t>(j) * row_len;
        const std::uint16_t* s = sigma.data() + static_cast<std::size_t>(j) * row_len;
        std::uint8_t* o = out + static_cast<std::size_t>(j) * row_len * out_bytes;
        if (subtract) {
            // The dark's block under each output pixel of this row (average of bin x bin).
            const long sy0 = (static_cast<long>(r.start_y) + (vflip ? h - 1 - j : j)) * bin;
            for (int k = 0; k < w; ++k) {
                const long sx0 = (static_cast<long>(r.start_x) + (hflip ? w - 1 - k : k)) * bin;
                unsigned sum = 0, cnt = 0;
                for (int dy = 0; dy < bin; ++dy) {
                    const long sy = sy0 + dy;
                    if (sy < 0 || sy >= r.sensor_height) continue;
                    const std::uint8_t* drow = r.dark_frame + static_cast<std::size_t>(sy) * r.sensor_width;
                    for (int dx = 0; dx < bin; ++dx) {
                        const long sx = sx0 + dx;
                        if (sx < 0 || sx >= r.sensor_width) continue;
                        sum += drow[sx];
                        ++cnt;
                    }
                }
                dark_row[k] = static_cast<std::uint8_t>(cnt ? (sum + cnt / 2) / cnt : 0);
            }
        }
        for (std::size_t c = 0, chunk = 0; c < row_len; c += kNoiseChunk, ++chunk) {
            const std::size_t len = std::min(kNoiseChunk, row_len - c);
            const std::uint64_t hsh = mix64(base + (static_cast<std::uint64_t>(j) << 20) + chunk);
            const std::int8_t* n = table + hsh % (kNoiseTableSize - kNoiseChunk);
            const std::uint8_t* d = dark_row.data() + c;
            if (out_bytes == 2) {
                if (wide) scalar_kernel<Out::raw16, true>(m + c, s + c, n, len, mask, d, o + 2 * c);
                else kernel<Out::raw16>(m + c, s + c, n, len, mask, d, o + 2 * c);
            } else if (subtract) {
                if (wide) scalar_kernel<Out::raw8_dark, true>(m + c, s + c, n, len, mask, d, o + c);
                else kernel<Out::raw8_dark>(m + c, s + c, n, len, mask, d, o + c);
            } else {
                if (wide) scalar_kernel<Out::raw8, true>(m + c, s + c, n, len, mask, d, o + c);
                else kernel<Out::raw8>(m + c, s + c, n, len, mask, d, o + c);
            }
        }
    }
}

void Renderer::render(const RenderRequest& req, std::uint8_t* out) {
    if (out == nullptr || frame_bytes(req) == 0) return;
    const Key k = Key::of(req);
    if (!impl_->valid || !(impl_->key == k)) {
        impl_->rebuild(req);
        impl_->key = k;
        impl_->valid = true;
    }
    impl_->emit(req, out);
}

}  // namespace camsim

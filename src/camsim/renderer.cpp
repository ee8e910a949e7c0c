// The simulated sensor.
//
// A frame is built in two stages so that streaming stays cheap:
//
//  1. When the settings change, the noiseless expected frame of the ROI is
//     computed in output order (binned, flipped, one element per output sample)
//     as a 16-bit mean (left-aligned ADC units, plus half an ADC step so that
//     dropping the low bits rounds; each sample rounded at a fixed threshold of
//     its own, so that a smooth level is right on average) and a 16-bit
//     standard deviation.
//  2. Each frame is mean + sigma * n, n read from a shared 4 MB table of
//     quantised Gaussian samples at offsets hashed from (seed, frame_index,
//     row, chunk), then clipped and reduced to the ADC's bits: a branch-free
//     SSE2 loop over 16-bit lanes, with no allocation and no random numbers.
//     The noise belongs to the unflipped position, so a flipped frame is the
//     exact mirror of the unflipped one.
//  A star field that moves (guiding, drift, field rotation) only redraws and reconverts the
//  pixels its stars covered and now cover; the electrons of the ROI are kept
//  for that. Star footprints grow with exposure, so short exposures, the ones
//  that stream fast, are the cheapest to move.
//
// Physical model (electrons per sensor pixel unless noted):
//  - stars: an unbounded field generated tile by tile from the seed, so ROI,
//    binning and any shift see the same sky; magnitudes follow a power law
//    (many faint, few bright); the PSF is a Gaussian core (FWHM 2.7 px) plus a
//    faint wide Gaussian halo, integrated exactly over each pixel with erf, so
//    centroids carry no rendering bias; defocus widens both in quadrature;
//    each star is drawn out to where it adds under 0.01 e- per pixel and its
//    light beyond is put back inside, so defocus spreads a star, never dims it;
//  - the field moves as a whole: it turns about the sensor's centre (an alt-az
//    mount's field rotation), then shifts (guiding, drift); stars are drawn at
//    their moved positions, sharp;
//  - sky background, dark current doubling every 6 C, hot pixels with a much
//    higher dark current at fixed positions from the seed;
//  - a flat panel, when on, lights the sensor evenly in place of sky and stars;
//    it may flicker: its level varies frame to frame by a set relative amount;
//  - light (sky, stars, panel; not dark current) falls off quadratically from the
//    sensor's centre to corner_illumination in the corners, as optics vignette;
//  - gain factor 10^(gain/200); ADC units = electrons * factor / elec_per_adu;
//  - bias = offset * 16 in 16-bit left-aligned units, whatever the bit depth;
//  - read noise (electrons) falls with gain; shot noise has the Poisson
//    variance, equal to the signal in electrons (drawn from the Gaussian table:
//    the photon transfer curve, variance against signal, is the sensor's);
//    each pixel's sigma comes from its own expected signal, so the noise
//    amplitude is right pixel by pixel;
//  - a pixel holds at most full_well_e electrons: a raw sample clips there
//    (noise included) or at the ADC's top, whichever comes first;
//  - binning averages the bin x bin sensor pixels, each clipped at saturation
//    first (levels do not change with bin; noise drops by the bin factor);
//  - colour sensors: per-channel response and star colours; raw formats give
//    the sensor's own Bayer mosaic of the sensor position, without white balance
//    (binned colour raw stays a mosaic: each binned pixel averages its block in
//    the channel its position calls for); the colour formats apply the white
//    balance as a digital gain on red and blue (wb / 50): RGB24 renders each
//    channel directly, Y8 is the luminance 0.299 R + 0.587 G + 0.114 B;
//  - dark subtraction (RAW8, Y8) subtracts the average of the dark's bin x bin
//    block under each output pixel, after noise, saturating at 0;
//  - gamma is not modelled: outputs are linear.
#include "renderer.hpp"

#include <algorithm>
#include <cmath>
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
constexpr double kHaloReachSigmas = 5.0;  // a star is rendered this many halo sigmas around

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
// A light-polluted sky: red enough that raw frames show where the red sites are.
constexpr double kSkyColour[3] = {1.5, 1.0, 0.7};
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

// SplitMix64: a hash for seeds and offsets, and a small generator. Its own code
// rather than <random>, so the frames do not depend on the standard library.
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

std::uint64_t mix64(std::uint64_t z) {
    z += kGolden;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct Rng {
    std::uint64_t state;
    explicit Rng(std::uint64_t s) : state(s) {}
    std::uint64_t next() { return mix64(state += kGolden); }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
};

double phi(double z) { return 0.5 * std::erfc(-z * (1.0 / std::numbers::sqrt2)); }

// Noise table, filled by inverting the CDF of the quantised Gaussian: exact
// probabilities for every int8 value and cheap to build (no log/sin per sample).
const std::int8_t* noise_table() {
    static const std::vector<std::int8_t> table = [] {
        // Sample value -127 + i when u (32-bit uniform) lies in [edge[i-1], edge[i]).
        constexpr int kEdges = 254;
        std::uint64_t edge[kEdges];
        for (int i = 0; i < kEdges; ++i)
            edge[i] = static_cast<std::uint64_t>(std::llround(phi((i - 126.5) / double(1 << kNoiseShift)) * 0x1.0p32));
        // Edges below the start of each 2^16-wide bucket of u; the rest is a short scan.
        std::vector<std::uint8_t> start(1u << 16);
        int i = 0;
        for (std::uint32_t b = 0; b < start.size(); ++b) {
            while (i < kEdges && edge[i] <= (std::uint64_t{b} << 16)) ++i;
            start[b] = static_cast<std::uint8_t>(i);
        }
        std::vector<std::int8_t> t(kNoiseTableSize);
        Rng rng(0x6e6f697365746162ULL);
        auto sample = [&](std::uint32_t u) {
            int k = start[u >> 16];
            while (k < kEdges && edge[k] <= u) ++k;
            return static_cast<std::int8_t>(k - 127);
        };
        for (std::size_t j = 0; j + 1 < t.size(); j += 2) {
            const std::uint64_t bits = rng.next();
            t[j] = sample(static_cast<std::uint32_t>(bits));
            t[j + 1] = sample(static_cast<std::uint32_t>(bits >> 32));
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

// What a sample may hold: the ADC's bits (mask) and the highest level (top, the full well's).
struct Clip {
    std::uint16_t mask, top;
};

// Everything that changes the expected frame (all but frame_index and dark_frame).
struct Key {
    int sensor_width, sensor_height, bit_depth;
    bool color;
    int bayer_pattern;
    double pixel_size_um, elec_per_adu, full_well_e;
    int max_gain, start_x, start_y, width, height, bin, img_type;
    long exposure_us, gain, offset, gamma, wb_r, wb_b;
    int flip;
    bool dark;
    double panel_rate, corner_illumination;
    double temperature_c, shift_x, shift_y, rotation_deg, defocus_fwhm, transparency;
    std::uint64_t seed;

    static Key of(const RenderRequest& r) {
        return Key{r.sensor_width, r.sensor_height, r.bit_depth, r.color, r.bayer_pattern,
                   r.pixel_size_um, r.elec_per_adu, r.full_well_e, r.max_gain, r.start_x, r.start_y,
                   r.width, r.height, r.bin, r.img_type, r.exposure_us, r.gain, r.offset,
                   r.gamma, r.wb_r, r.wb_b, r.flip, r.dark, r.panel_rate, r.corner_illumination,
                   r.temperature_c, r.shift_x, r.shift_y, r.rotation_deg, r.defocus_fwhm, r.transparency, r.seed};
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

// Rectangle [x0, x1) x [y0, y1) of pixels.
struct Rect {
    int x0, y0, x1, y1;
};

struct Renderer::Impl {
    bool valid = false;
    Key key{};
    // Expected electrons per sensor pixel. `grid` covers the ROI at sensor
    // resolution; for bin 1 it is the output grid itself, otherwise `binned`
    // holds the block averages. Kept so that a moving star field only redraws
    // where stars were and are.
    std::vector<float> grid, binned;
    std::vector<Rect> lit;             // grid rectangles holding star light
    std::vector<std::uint16_t> mean;   // output order (flipped), left-aligned 16-bit units
    std::vector<std::uint16_t> sigma;  // 16 * sigma, or sigma when `wide`
    std::vector<std::uint8_t> dark_row;
    std::vector<std::uint64_t> offsets;  // noise table offset per chunk of a row
    int samples_per_pixel = 1;
    Clip clip{0xFFFF, 0xFFFF};         // the ADC's bits of a left-aligned value; the full well's level
    bool wide = false;

    void rebuild(const RenderRequest& r);
    bool move_stars(const RenderRequest& r);
    void bin_blocks(const RenderRequest& r, const Rect& out);
    bool convert(const RenderRequest& r, const Rect& out, float sigma_scale);
    void emit(const RenderRequest& r, std::uint8_t* out);
    const float* electrons(const RenderRequest& r) const { return r.bin > 1 ? binned.data() : grid.data(); }
};

Renderer::Renderer() : impl_(std::make_unique<Impl>()) {}
Renderer::~Renderer() = default;

namespace {

double dark_scale(double temperature_c) { return std::exp2((temperature_c + 10.0) / kDarkDoublingC); }

// The star profile's core and halo sigmas (sensor pixels), defocus added in quadrature,
// and the farthest a star is drawn from its centre.
struct Psf {
    double core, halo, reach;
    explicit Psf(double defocus_fwhm) {
        const double d2 = defocus_fwhm * defocus_fwhm;
        core = std::sqrt(kCoreFwhm * kCoreFwhm + d2) * kFwhmToSigma;
        halo = std::sqrt(kHaloFwhm * kHaloFwhm + d2) * kFwhmToSigma;
        reach = kHaloReachSigmas * halo;
    }
};

// Half-width (sensor pixels) of the square a star is drawn in: out to where it adds
// less than 0.01 e- per pixel, and at least 1.75 core sigmas. What falls outside is
// put back inside (see draw_stars), so a faint or defocused star keeps all its light.
double star_reach(double electrons, const Psf& psf) {
    constexpr double eps = 0.01;
    const double sc = psf.core, sh = psf.halo;
    auto reach = [&](double total, double s) {
        const double peak = total / (2.0 * std::numbers::pi * s * s);
        return peak > eps ? s * std::sqrt(2.0 * std::log(peak / eps)) : 0.0;
    };
    const double r = std::max({reach(electrons * (1.0 - kHaloFraction), sc), reach(electrons * kHaloFraction, sh), 1.75 * sc});
    return std::clamp(r, 2.0, psf.reach);
}

double read_noise_e(double gain_factor) { return 1.2 + 2.3 / std::sqrt(gain_factor); }  // falls with gain

double gain_factor(long gain) { return std::pow(10.0, static_cast<double>(gain) / 200.0); }

// Electrons to left-aligned 16-bit units.
struct Response {
    int shift;          // 16 - ADC bits
    float bias;         // plus half an ADC step, so that dropping the low bits rounds
    float read_var;     // read noise variance, electrons^2
    float gain[3];      // 16-bit units per electron, per channel (white balance included)
    float luma_gain[3]; // the same weighted for luminance
    float full;         // electrons a pixel holds (full well, or the ADC's top if lower)
    std::uint16_t top;  // highest sample: the full well's level or the ADC's top (raw and mono)

    explicit Response(const RenderRequest& r) {
        shift = 16 - std::clamp(r.bit_depth, 8, 16);
        const double factor = gain_factor(r.gain);
        const double epa = r.elec_per_adu > 0 ? r.elec_per_adu : 1.0;
        const double g16 = factor / epa * std::ldexp(1.0, shift);
        const double read_e = read_noise_e(factor);
        read_var = static_cast<float>(read_e * read_e);
        bias = static_cast<float>(static_cast<double>(std::max(0L, r.offset)) * kBiasPerOffset +
                                  (shift > 0 ? std::ldexp(1.0, shift - 1) : 0.0));
        // White balance is processing: raw data is the sensor's, the colour formats get it.
        double wb[3] = {1.0, 1.0, 1.0};
        const bool processed = r.img_type == ASI_IMG_RGB24 || r.img_type == ASI_IMG_Y8;
        if (r.color && processed) {
            wb[0] = static_cast<double>(std::max(0L, r.wb_r)) / 50.0;
            wb[2] = static_cast<double>(std::max(0L, r.wb_b)) / 50.0;
        }
        for (int c = 0; c < 3; ++c) {
            gain[c] = static_cast<float>(g16 * wb[c]);
            luma_gain[c] = static_cast<float>(g16 * wb[c] * kLuma[c]);
        }
        const double adc_full = (65535.0 - bias) / g16;
        full = static_cast<float>(r.full_well_e > 0.0 ? std::min(r.full_well_e, adc_full) : adc_full);
        // Raw samples clip at the full well's level, noise included; the colour formats
        // scale the channels after the sensor, so there only the mean is held to it.
        const double level = r.color && processed ? 65535.0 : bias + static_cast<double>(full) * g16;
        top = static_cast<std::uint16_t>(std::clamp(level, 0.0, 65535.0));
    }
};

// A pixel's expected electrons from dark current and, per channel, from light at the
// centre of the field (sky or panel).
struct Levels {
    double dark;
    double light[3];
};

Levels levels(const RenderRequest& r) {
    const double t = static_cast<double>(r.exposure_us) * 1e-6;
    Levels l{kDarkRateAtM10 * dark_scale(r.temperature_c) * t, {0.0, 0.0, 0.0}};
    const bool panel = r.panel_rate > 0.0;
    for (int c = 0; c < 3; ++c) {
        const double colour = panel ? kChannelQe[c] : kChannelQe[c] * kSkyColour[c];
        l.light[c] = r.dark ? 0.0 : (panel ? r.panel_rate : kSkyRate * r.transparency) * t * (r.color ? colour : 1.0);
    }
    return l;
}

// Fraction of the centre's light reaching sensor position (x, y): 1 at the centre,
// corner_illumination in the corners, quadratic in between.
struct Vignette {
    double cx, cy, kx, ky;
    explicit Vignette(const RenderRequest& r)
        : cx(0.5 * r.sensor_width), cy(0.5 * r.sensor_height),
          kx(0.5 * (1.0 - r.corner_illumination) / std::max(1.0, cx * cx)),
          ky(0.5 * (1.0 - r.corner_illumination) / std::max(1.0, cy * cy)) {}
    double row(double y) const { return ky * (y - cy) * (y - cy); }
    double at(double x, double row_term) const { return 1.0 - kx * (x - cx) * (x - cx) - row_term; }
};

// The grid: gw x gh sensor pixels from sensor position (x0, y0), one plane per channel.
struct Grid {
    float* planes;
    int gw, gh, channels;
    double x0, y0;
    float* plane(int c) const { return planes + static_cast<std::size_t>(gw) * gh * c; }
};

// Dark current plus the vignetted light over grid pixels [x0, x1) x [y0, y1).
void fill_background(const RenderRequest& r, const Grid& g, const Levels& l, int x0, int y0, int x1, int y1) {
    const Vignette v(r);
    for (int c = 0; c < g.channels; ++c)
        for (int j = y0; j < y1; ++j) {
            float* row = g.plane(c) + static_cast<std::size_t>(j) * g.gw;
            const double rt = v.row(g.y0 + j + 0.5);
            for (int k = x0; k < x1; ++k)
                row[k] = static_cast<float>(l.dark + l.light[c] * v.at(g.x0 + k + 0.5, rt));
        }
}

// Hot pixels are set, not added, so that they can be redrawn over a background.
void set_hot_pixels(const RenderRequest& r, const Grid& g, const Levels& l) {
    const double t = static_cast<double>(r.exposure_us) * 1e-6;
    const Vignette v(r);
    for (const HotPixel& hp : hot_pixels(r.seed, r.sensor_width, r.sensor_height)) {
        const double fk = double(hp.x) - g.x0, fj = double(hp.y) - g.y0;
        if (fk < 0 || fj < 0 || fk >= g.gw || fj >= g.gh) continue;
        const std::size_t i = static_cast<std::size_t>(fj) * g.gw + static_cast<std::size_t>(fk);
        const double extra = hp.rate * dark_scale(r.temperature_c) * t;
        const double lit = v.at(double(hp.x) + 0.5, v.row(double(hp.y) + 0.5));
        for (int c = 0; c < g.channels; ++c) g.plane(c)[i] = static_cast<float>(l.dark + l.light[c] * lit + extra);
    }
}

// Where the field's positions land on the sensor (full-resolution pixels), and back.
struct FieldTransform {
    double cx, cy, c, s, dx, dy;
    bool turned;
    explicit FieldTransform(const RenderRequest& r)
        : cx(0.5 * r.sensor_width), cy(0.5 * r.sensor_height),
          c(std::cos(r.rotation_deg * (std::numbers::pi / 180.0))), s(std::sin(r.rotation_deg * (std::numbers::pi / 180.0))),
          dx(r.shift_x), dy(r.shift_y), turned(r.rotation_deg != 0.0) {}
    std::pair<double, double> to_sensor(double x, double y) const {
        if (!turned) return {x + dx, y + dy};  // exactly the shift, as before rotation existed
        const double u = x - cx, v = y - cy;
        return {cx + c * u - s * v + dx, cy + s * u + c * v + dy};
    }
    std::pair<double, double> to_field(double x, double y) const {
        if (!turned) return {x - dx, y - dy};
        const double u = x - dx - cx, v = y - dy - cy;
        return {cx + c * u + s * v, cy - s * u + c * v};
    }
};

// Adds every star whose light reaches the grid; appends the rectangles drawn.
void draw_stars(const RenderRequest& r, const Grid& g, std::vector<Rect>& lit) {
    const double t = static_cast<double>(r.exposure_us) * 1e-6;
    if (r.dark || r.panel_rate > 0.0 || t <= 0.0 || r.transparency <= 0.0 || g.gw <= 0 || g.gh <= 0) return;
    const Vignette v(r);
    double qe[3] = {1.0, 1.0, 1.0};
    if (r.color) std::copy(std::begin(kChannelQe), std::end(kChannelQe), qe);
    const Psf psf(r.defocus_fwhm);
    const FieldTransform field(r);
    // The field positions whose stars can reach the grid: the grid's corners, widened
    // by the farthest reach, taken back through the transform.
    double fx0 = HUGE_VAL, fx1 = -HUGE_VAL, fy0 = HUGE_VAL, fy1 = -HUGE_VAL;
    for (const double px : {g.x0 - psf.reach, g.x0 + g.gw + psf.reach})
        for (const double py : {g.y0 - psf.reach, g.y0 + g.gh + psf.reach}) {
            const auto [x, y] = field.to_field(px, py);
            fx0 = std::min(fx0, x), fx1 = std::max(fx1, x), fy0 = std::min(fy0, y), fy1 = std::max(fy1, y);
        }
    std::vector<Star> stars;
    const long tx0 = static_cast<long>(std::floor(fx0 / kTile)), tx1 = static_cast<long>(std::floor(fx1 / kTile));
    const long ty0 = static_cast<long>(std::floor(fy0 / kTile)), ty1 = static_cast<long>(std::floor(fy1 / kTile));
    for (long ty = ty0; ty <= ty1; ++ty)
        for (long tx = tx0; tx <= tx1; ++tx) tile_stars(r.seed, tx, ty, stars);

    const double sc = psf.core, sh = psf.halo;
    std::vector<double> cx, hx, cy, hy;
    // Fractions of a unit Gaussian (core and halo) falling on pixels [lo, hi),
    // pixel k spanning [origin + k, origin + k + 1), of the grid's n; and the
    // fractions the star's whole square holds, in or out of the grid.
    struct Span {
        int lo, hi;
        double core, halo;
    };
    auto profile = [&](double centre, double reach, double origin, int n, std::vector<double>& core,
                       std::vector<double>& halo) -> Span {
        const double first = std::floor(centre - reach - origin), last = std::floor(centre + reach - origin) + 1.0;
        const int lo = static_cast<int>(std::clamp(first, 0.0, double(n)));
        const int hi = static_cast<int>(std::clamp(last, 0.0, double(n)));
        const double a = origin + first - centre, b = origin + last - centre;
        const Span span{lo, hi, phi(b / sc) - phi(a / sc), phi(b / sh) - phi(a / sh)};
        core.clear();
        halo.clear();
        double pc = phi((origin + double(lo) - centre) / sc);
        double ph = phi((origin + double(lo) - centre) / sh);
        for (int k = lo; k < hi; ++k) {
            const double edge = origin + double(k + 1) - centre;
            const double nc = phi(edge / sc), nh = phi(edge / sh);
            core.push_back(nc - pc);
            halo.push_back(nh - ph);
            pc = nc;
            ph = nh;
        }
        return span;
    };
    for (const Star& s : stars) {
        const auto [sx, sy] = field.to_sensor(s.x, s.y);
        const double reach = star_reach(s.flux * t, psf);
        const Span ys = profile(sy, reach, g.y0, g.gh, cy, hy);
        if (ys.lo >= ys.hi) continue;
        const Span xs = profile(sx, reach, g.x0, g.gw, cx, hx);
        if (xs.lo >= xs.hi) continue;
        const int xlo = xs.lo, xhi = xs.hi, ylo = ys.lo, yhi = ys.hi;
        lit.push_back({xlo, ylo, xhi, yhi});
        // The light beyond the square (the faint far wings) goes into it: none is lost.
        const double core_share = (1.0 - kHaloFraction) / std::max(xs.core * ys.core, 1e-12);
        const double halo_share = kHaloFraction / std::max(xs.halo * ys.halo, 1e-12);
        for (int c = 0; c < g.channels; ++c) {
            const double f = s.flux * t * qe[c] * (r.color ? s.colour[c] : 1.0) * v.at(sx, v.row(sy));
            for (int j = ylo; j < yhi; ++j) {
                const double a = f * core_share * cy[j - ylo];
                const double b = f * halo_share * hy[j - ylo];
                float* row = g.plane(c) + static_cast<std::size_t>(j) * g.gw;
                for (int k = xlo; k < xhi; ++k) row[k] += static_cast<float>(a * cx[k - xlo] + b * hx[k - xlo]);
            }
        }
    }
}

}  // namespace

void Renderer::Impl::rebuild(const RenderRequest& r) {
    const int w = r.width, h = r.height, bin = r.bin;
    const int channels = r.color ? 3 : 1;
    const Grid g{nullptr, w * bin, h * bin, channels, double(r.start_x) * bin, double(r.start_y) * bin};
    grid.resize(static_cast<std::size_t>(g.gw) * g.gh * channels);
    if (bin > 1) binned.resize(static_cast<std::size_t>(w) * h * channels);
    else std::vector<float>().swap(binned);
    const Grid gd{grid.data(), g.gw, g.gh, g.channels, g.x0, g.y0};

    const Levels level = levels(r);
    fill_background(r, gd, level, 0, 0, g.gw, g.gh);
    set_hot_pixels(r, gd, level);
    lit.clear();
    draw_stars(r, gd, lit);

    const Rect all{0, 0, w, h};
    if (bin > 1) bin_blocks(r, all);
    const Response resp(r);
    clip = {static_cast<std::uint16_t>(0xFFFFu << resp.shift), resp.top};
    samples_per_pixel = r.img_type == ASI_IMG_RGB24 ? 3 : 1;
    mean.resize(static_cast<std::size_t>(w) * h * samples_per_pixel);
    sigma.resize(mean.size());
    // The SSE2 kernel takes 16 * sigma in 16 bits; the noise of extreme gains needs the wide one.
    wide = !convert(r, all, 16.0f);
    if (wide) convert(r, all, 1.0f);
    dark_row.resize(static_cast<std::size_t>(w) + 16);
}

// Only the star field moved (guiding, drift): put the background back where
// stars were, draw them where they are, and convert just those pixels.
// False when the new noise does not fit the kernel: the caller rebuilds.
bool Renderer::Impl::move_stars(const RenderRequest& r) {
    const int bin = r.bin, channels = r.color ? 3 : 1;
    const Grid g{grid.data(), r.width * bin, r.height * bin, channels, double(r.start_x) * bin, double(r.start_y) * bin};
    const Levels level = levels(r);
    for (const Rect& q : lit) fill_background(r, g, level, q.x0, q.y0, q.x1, q.y1);
    set_hot_pixels(r, g, level);
    std::vector<Rect> dirty;
    dirty.swap(lit);
    const std::size_t before = dirty.size();
    draw_stars(r, g, dirty);
    lit.assign(dirty.begin() + static_cast<long>(before), dirty.end());
    for (const Rect& q : dirty) {
        // Output pixels whose blocks the rectangle touches.
        const Rect out{q.x0 / bin, q.y0 / bin, (q.x1 + bin - 1) / bin, (q.y1 + bin - 1) / bin};
        if (bin > 1) bin_blocks(r, out);
        if (!convert(r, out, wide ? 1.0f : 16.0f)) return false;
    }
    return true;
}

// Block averages of the grid for output pixels in `out`. Each sensor pixel
// saturates on its own before the bin averages them, so a saturated star core
// or hot pixel does not saturate its whole block.
void Renderer::Impl::bin_blocks(const RenderRequest& r, const Rect& out) {
    const int w = r.width, bin = r.bin, gw = w * bin, channels = r.color ? 3 : 1;
    const std::size_t gpix = static_cast<std::size_t>(gw) * r.height * bin, npix = static_cast<std::size_t>(w) * r.height;
    const Response resp(r);
    const float inv_area = 1.0f / static_cast<float>(bin * bin);
    for (int c = 0; c < channels; ++c) {
        const float full = std::min(resp.full, (65535.0f - resp.bias) / std::max(resp.gain[c], 1e-12f));
        const float* src = grid.data() + gpix * c;
        float* dst = binned.data() + npix * c;
        for (int j = out.y0; j < out.y1; ++j) {
            float* drow = dst + static_cast<std::size_t>(j) * w;
            std::fill(drow + out.x0, drow + out.x1, 0.0f);
            for (int y = j * bin; y < (j + 1) * bin; ++y) {
                const float* srow = src + static_cast<std::size_t>(y) * gw;
                for (int x = out.x0 * bin; x < out.x1 * bin; ++x) drow[x / bin] += std::min(srow[x], full);
            }
            for (int k = out.x0; k < out.x1; ++k) drow[k] *= inv_area;
        }
    }
}

// Electrons to mean and sigma in left-aligned 16-bit units for the output
// pixels in `out` (unflipped coordinates), stored in output order.
// False when some sigma * sigma_scale does not fit 16 bits.
bool Renderer::Impl::convert(const RenderRequest& r, const Rect& out, float sigma_scale) {
    const int w = r.width, h = r.height;
    const int bin = r.bin;
    const std::size_t npix = static_cast<std::size_t>(w) * h;
    const Response resp(r);
    const float bias = resp.bias, read_var = resp.read_var, full = resp.full, top = resp.top;
    const float* gc = resp.gain;
    const float* gy = resp.luma_gain;
    const float inv_area = 1.0f / static_cast<float>(bin * bin);  // variance of an average of bin x bin pixels
    const bool hflip = r.flip & ASI_FLIP_HORIZ, vflip = r.flip & ASI_FLIP_VERT;
    const int pattern = std::clamp(r.bayer_pattern, 0, 3);
    const int spp = samples_per_pixel;
    const float* e0 = electrons(r);
    const float* e1 = r.color ? e0 + npix : e0;
    const float* e2 = r.color ? e0 + 2 * npix : e0;
    const float* plane[3] = {e0, e1, e2};
    bool fits = true;
    std::uint32_t site = 0;  // the sample's unflipped position, for its rounding dither

    auto put = [&](std::size_t idx, float m, float var) {
        const float sd = std::sqrt(std::max(0.0f, var));
        if (m - 5.0f * sd >= top) {  // saturated whatever the noise
            mean[idx] = resp.top;
            sigma[idx] = 0;
            return;
        }
        float q = sd * sigma_scale + 0.5f;
        if (q > 65535.0f) {
            fits = false;
            q = 65535.0f;
        }
        const auto s = static_cast<std::uint16_t>(q);
        sigma[idx] = s;
        // The mean must be right on average, not only to the nearest unit: a smooth level
        // (the vignetted sky) rounded pixel by pixel steps by whole units, and a stack of many
        // frames shows the steps as rings. So each sample rounds at its own fixed threshold,
        // and gets back the half unit noisy() takes off when s is even.
        const float lost = sigma_scale == 16.0f && s != 0 && (s & 1u) == 0 ? 0.5f : 0.0f;
        std::uint32_t h = site * 0x9E3779B1u;
        h ^= h >> 15;
        h *= 0x85EBCA77u;
        h ^= h >> 13;
        const float threshold = static_cast<float>(h >> 8) * 0x1.0p-24f;
        mean[idx] = static_cast<std::uint16_t>(std::min(65535.0f, std::max(0.0f, m) + lost + threshold));
    };
    auto single = [&](std::size_t idx, float el, float g) {
        const float var_e = (el + read_var) * inv_area;
        if (el - 5.0f * std::sqrt(var_e) >= full) {  // full whatever the noise
            mean[idx] = static_cast<std::uint16_t>(std::min(65535.0f, bias + full * g + 0.5f));
            sigma[idx] = 0;
            return;
        }
        put(idx, bias + el * g, g * g * var_e);  // raw samples clip at the full well after the noise
    };

    for (int j = out.y0; j < out.y1; ++j) {
        const std::size_t src = static_cast<std::size_t>(j) * w;
        const std::size_t dst = static_cast<std::size_t>(vflip ? h - 1 - j : j) * w;
        for (int k = out.x0; k < out.x1; ++k) {
            const std::size_t o = (dst + static_cast<std::size_t>(hflip ? w - 1 - k : k)) * spp;
            const std::size_t i = src + k;
            site = static_cast<std::uint32_t>(i * 3);
            if (spp == 3) {
                single(o, e2[i], gc[2]);  // B, G, R
                ++site;
                single(o + 1, e1[i], gc[1]);
                ++site;
                single(o + 2, e0[i], gc[0]);
            } else if (!r.color) {
                single(o, e0[i], gc[0]);
            } else if (r.img_type == ASI_IMG_Y8) {
                float m = bias, var = 0.0f;
                for (int c = 0; c < 3; ++c) {
                    const float el = std::min(plane[c][i], full);
                    m += el * gy[c];
                    var += gy[c] * gy[c] * (el + read_var) * inv_area;
                }
                put(o, m, var);
            } else {
                const int c = kBayer[pattern][(r.start_y + j) & 1][(r.start_x + k) & 1];
                single(o, plane[c][i], gc[c]);
            }
        }
    }
    return fits;
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


template <Out kind>
inline void put(unsigned v, std::size_t q, std::uint16_t mask, const std::uint8_t* d, std::uint8_t* out) {
    if constexpr (kind == Out::raw16) {
        const unsigned a = v & mask;
        out[2 * q] = static_cast<std::uint8_t>(a);
        out[2 * q + 1] = static_cast<std::uint8_t>(a >> 8);
    } else if constexpr (kind == Out::raw8) {
        out[q] = static_cast<std::uint8_t>(v >> 8);
    } else {
        const int a = static_cast<int>(v >> 8) - d[q];
        out[q] = static_cast<std::uint8_t>(a < 0 ? 0 : a);
    }
}

// Elements [begin, len) of a run: mean m, sigma s, noise from the table segment
// n (read backwards when `rev`, which mirrors the noise along with a flipped row).
template <Out kind, bool wide, bool rev>
void scalar_kernel(const std::uint16_t* __restrict m, const std::uint16_t* __restrict s,
                   const std::int8_t* __restrict n, std::size_t begin, std::size_t len, Clip clip,
                   const std::uint8_t* __restrict d, std::uint8_t* __restrict out) {
    for (std::size_t q = begin; q < len; ++q) {
        const std::int8_t z = n[rev ? len - 1 - q : q];
        const unsigned v = wide ? noisy_wide(m[q], s[q], z) : noisy(m[q], s[q], z);
        put<kind>(std::min<unsigned>(v, clip.top), q, clip.mask, d, out);
    }
}

template <Out kind, bool rev>
void kernel(const std::uint16_t* __restrict m, const std::uint16_t* __restrict s,
            const std::int8_t* __restrict n, std::size_t len, Clip clip,
            const std::uint8_t* __restrict d, std::uint8_t* __restrict out) {
    std::size_t q = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i sign = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i keep = _mm_set1_epi16(static_cast<short>(clip.mask));
    const __m128i top = _mm_set1_epi16(static_cast<short>(clip.top));
    auto noisy8 = [&](std::size_t k) {
        const __m128i mm = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + k));
        const __m128i ss = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
        __m128i nn = _mm_unpacklo_epi8(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rev ? n + len - k - 8 : n + k)));
        if constexpr (rev) {
            nn = _mm_shufflelo_epi16(nn, 0x1B);
            nn = _mm_shufflehi_epi16(nn, 0x1B);
            nn = _mm_shuffle_epi32(nn, 0x4E);
        }
        const __m128i u = _mm_xor_si128(nn, sign);
        const __m128i noise = _mm_sub_epi16(_mm_mulhi_epu16(ss, u), _mm_srli_epi16(ss, 1));
        const __m128i up = _mm_max_epi16(noise, zero);
        const __m128i down = _mm_max_epi16(_mm_sub_epi16(zero, noise), zero);
        const __m128i v = _mm_subs_epu16(_mm_adds_epu16(mm, up), down);
        return _mm_subs_epu16(v, _mm_subs_epu16(v, top));  // min(v, top): SSE2 has no unsigned 16-bit min
    };
    for (; q + 16 <= len; q += 16) {
        const __m128i a = noisy8(q), b = noisy8(q + 8);
        if constexpr (kind == Out::raw16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * q), _mm_and_si128(a, keep));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * q + 16), _mm_and_si128(b, keep));
        } else {
            __m128i v = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
            if constexpr (kind == Out::raw8_dark)
                v = _mm_subs_epu8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + q), v);
        }
    }
#endif
    scalar_kernel<kind, false, rev>(m, s, n, q, len, clip, d, out);
}

template <Out kind, bool rev>
void run(bool wide, const std::uint16_t* m, const std::uint16_t* s, const std::int8_t* n, std::size_t len,
         Clip clip, const std::uint8_t* d, std::uint8_t* out) {
    if (wide) scalar_kernel<kind, true, rev>(m, s, n, 0, len, clip, d, out);
    else kernel<kind, rev>(m, s, n, len, clip, d, out);
}

template <Out kind>
void run(bool rev, bool wide, const std::uint16_t* m, const std::uint16_t* s, const std::int8_t* n,
         std::size_t len, Clip clip, const std::uint8_t* d, std::uint8_t* out) {
    if (rev) run<kind, true>(wide, m, s, n, len, clip, d, out);
    else run<kind, false>(wide, m, s, n, len, clip, d, out);
}

}  // namespace

// Noise is tied to the unflipped position (row j, element u of the row: chunk
// u / kNoiseChunk reads the table at an offset hashed from seed, frame, j and
// the chunk), so a flipped frame is the exact mirror of the unflipped one.
void Renderer::Impl::emit(const RenderRequest& r, std::uint8_t* out) {
    const int w = r.width, h = r.height;
    const std::size_t len_row = static_cast<std::size_t>(w) * samples_per_pixel;
    const int out_bytes = r.img_type == ASI_IMG_RAW16 ? 2 : 1;
    const bool subtract = r.dark_frame != nullptr && (r.img_type == ASI_IMG_RAW8 || r.img_type == ASI_IMG_Y8);
    const bool hflip = r.flip & ASI_FLIP_HORIZ, vflip = r.flip & ASI_FLIP_VERT;
    const int bin = std::max(1, r.bin);
    const std::int8_t* table = noise_table();
    const std::uint64_t base = mix64(r.seed ^ mix64(r.frame_index ^ 0x4652414d45ULL));
    const Out kind = out_bytes == 2 ? Out::raw16 : subtract ? Out::raw8_dark : Out::raw8;
    const std::size_t chunks = (len_row + kNoiseChunk - 1) / kNoiseChunk;
    offsets.resize(chunks);

    for (int oj = 0; oj < h; ++oj) {
        const int j = vflip ? h - 1 - oj : oj;
        const std::uint16_t* m = mean.data() + static_cast<std::size_t>(oj) * len_row;
        const std::uint16_t* s = sigma.data() + static_cast<std::size_t>(oj) * len_row;
        std::uint8_t* o = out + static_cast<std::size_t>(oj) * len_row * out_bytes;
        for (std::size_t c = 0; c < chunks; ++c)
            offsets[c] = mix64(base + (static_cast<std::uint64_t>(j) << 20) + c) % (kNoiseTableSize - kNoiseChunk);
        if (subtract) {
            // The dark's bin x bin block under each output pixel of this row, averaged.
            const long sy0 = (static_cast<long>(r.start_y) + j) * bin;
            for (int ok = 0; ok < w; ++ok) {
                const long sx0 = (static_cast<long>(r.start_x) + (hflip ? w - 1 - ok : ok)) * bin;
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
                dark_row[ok] = static_cast<std::uint8_t>(cnt ? (sum + cnt / 2) / cnt : 0);
            }
        }
        if (hflip && samples_per_pixel > 1) {
            // Mirrored BGR triplets: pixels reverse, channels keep their order.
            const int spp = samples_per_pixel;
            for (std::size_t q = 0; q < len_row; ++q) {
                const std::size_t u = (static_cast<std::size_t>(w - 1) - q / spp) * spp + q % spp;
                const std::int8_t z = table[offsets[u / kNoiseChunk] + u % kNoiseChunk];
                const unsigned v = wide ? noisy_wide(m[q], s[q], z) : noisy(m[q], s[q], z);
                put<Out::raw8>(std::min<unsigned>(v, clip.top), q, clip.mask, nullptr, o);
            }
            continue;
        }
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t a = c * kNoiseChunk;
            const std::size_t len = std::min(kNoiseChunk, len_row - a);
            const std::size_t q = hflip ? len_row - a - len : a;  // where the chunk lands in the output row
            const std::int8_t* n = table + offsets[c];
            const std::uint8_t* d = dark_row.data() + q;
            switch (kind) {
                case Out::raw16: run<Out::raw16>(hflip, wide, m + q, s + q, n, len, clip, d, o + 2 * q); break;
                case Out::raw8: run<Out::raw8>(hflip, wide, m + q, s + q, n, len, clip, d, o + q); break;
                case Out::raw8_dark: run<Out::raw8_dark>(hflip, wide, m + q, s + q, n, len, clip, d, o + q); break;
            }
        }
    }
}

namespace {

// The camera validates settings, but nothing a caller passes may turn into
// undefined arithmetic here (NaN or huge values cast to integers, infinities).
// Exposure, bin and the other counts are non-negative from here on.
RenderRequest sane(const RenderRequest& req) {
    RenderRequest r = req;
    auto finite = [](double v, double lo, double hi, double fallback) {
        return std::isfinite(v) ? std::clamp(v, lo, hi) : fallback;
    };
    r.bin = std::max(1, r.bin);
    r.bit_depth = std::clamp(r.bit_depth, 8, 16);
    r.exposure_us = std::clamp(r.exposure_us, 0L, 100000L * 1000000L);
    r.gain = std::clamp(r.gain, 0L, 2000L);
    r.offset = std::clamp(r.offset, 0L, 4095L);
    r.wb_r = std::clamp(r.wb_r, 0L, 1000L);
    r.wb_b = std::clamp(r.wb_b, 0L, 1000L);
    r.elec_per_adu = r.elec_per_adu > 0 ? finite(r.elec_per_adu, 1e-3, 1e3, 1.0) : 1.0;
    // 0.1 C steps: a sensor cooling or warming does not rebuild every frame.
    r.temperature_c = std::round(finite(r.temperature_c, -100.0, 100.0, 20.0) * 10.0) / 10.0;
    r.panel_rate = finite(r.panel_rate, 0.0, 1e9, 0.0);
    r.corner_illumination = finite(r.corner_illumination, 0.0, 1.0, 1.0);
    r.shift_x = finite(r.shift_x, -1e9, 1e9, 0.0);
    r.shift_y = finite(r.shift_y, -1e9, 1e9, 0.0);
    r.defocus_fwhm = finite(r.defocus_fwhm, 0.0, 100.0, 0.0);
    r.transparency = finite(r.transparency, 0.0, 1.0, 1.0);
    r.rotation_deg = std::fmod(finite(r.rotation_deg, -1e12, 1e12, 0.0), 360.0);
    r.full_well_e = finite(r.full_well_e, 0.0, 1e9, 0.0);
    // A flickering panel: this frame's level, so that the key (and the fast path) sees it.
    const double flicker = finite(r.panel_flicker, 0.0, 1.0, 0.0);
    if (flicker > 0.0 && r.panel_rate > 0.0) {
        Rng rng(mix64(r.seed ^ mix64(r.frame_index ^ 0x464c49434b4552ULL)));
        const double u1 = 1.0 - rng.uniform(), u2 = rng.uniform();
        const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
        r.panel_rate *= std::max(0.0, 1.0 + flicker * z);
    }
    r.panel_flicker = 0.0;
    return r;
}

}  // namespace

void Renderer::render(const RenderRequest& req, std::uint8_t* out) {
    if (out == nullptr || frame_bytes(req) == 0) return;
    const RenderRequest r = sane(req);
    const Key k = Key::of(r);
    if (!impl_->valid || !(impl_->key == k)) {
        Key moved = impl_->key;
        moved.shift_x = k.shift_x;
        moved.shift_y = k.shift_y;
        moved.rotation_deg = k.rotation_deg;
        if (!impl_->valid || !(moved == k) || !impl_->move_stars(r)) impl_->rebuild(r);
        impl_->key = k;
        impl_->valid = true;
    }
    impl_->emit(r, out);
}

SensorTruth sensor_truth(const RenderRequest& req) {
    const RenderRequest r = sane(req);
    const Response resp(r);
    const double factor = gain_factor(r.gain);
    const double epa = r.elec_per_adu > 0 ? r.elec_per_adu : 1.0;
    // The full well a frame shows: the pixel's, or the ADC's top above the bias if lower.
    return {epa / factor / std::ldexp(1.0, resp.shift), read_noise_e(factor), static_cast<double>(resp.full),
            kDarkRateAtM10 * dark_scale(r.temperature_c)};
}

}  // namespace camsim

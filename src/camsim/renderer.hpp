// The simulated sensor: turns camera settings into frame bytes.
// One Renderer per camera; not thread-safe, the camera serialises its use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace camsim {

struct RenderRequest {
    // Sensor (from the camera model).
    int sensor_width = 0;       // full-resolution pixels
    int sensor_height = 0;
    int bit_depth = 12;         // ADC bits; RAW16 output is left-aligned to 16 bits
    bool color = false;         // colour sensor: Bayer mosaic in raw formats, BGR in RGB24
    int bayer_pattern = 0;      // ASI_BAYER_*
    double pixel_size_um = 3.75;
    double elec_per_adu = 1.0;  // at gain 0
    double full_well_e = 0.0;   // electrons a pixel holds; 0: only the ADC clips
    int max_gain = 500;         // gain control's maximum (gain is in 0.1 dB steps)

    // Region of interest: start in binned pixels, size in binned pixels.
    int start_x = 0;
    int start_y = 0;
    int width = 0;
    int height = 0;
    int bin = 1;
    int img_type = 0;           // ASI_IMG_*

    // Exposure and controls.
    long exposure_us = 10000;
    long gain = 0;
    long offset = 0;
    long gamma = 50;
    long wb_r = 52;
    long wb_b = 95;
    int flip = 0;               // ASI_FLIP_*
    bool dark = false;          // no light at all: bias, dark current, noise, hot pixels
    // A flat panel over the aperture: electrons per second per pixel at the field's centre,
    // in place of the sky and the stars; 0 for none.
    double panel_rate = 0.0;
    // Frame-to-frame flicker of the panel: the relative standard deviation of its level,
    // drawn per frame from (seed, frame_index); 0 for a steady panel.
    double panel_flicker = 0.0;
    // Illumination in the sensor's corners relative to its centre (optical fall-off,
    // quadratic in the distance from the centre); 1 for none.
    double corner_illumination = 1.0;
    double temperature_c = 20.0;

    // Star field transform in full-resolution sensor pixels: the field turns by
    // rotation_deg about the sensor's centre (cx, cy), then shifts (guiding, drift):
    // x' = cx + cos a (x - cx) - sin a (y - cy) + shift_x, y' = cy + sin a (x - cx) + cos a (y - cy) + shift_y.
    double shift_x = 0.0;
    double shift_y = 0.0;
    double rotation_deg = 0.0;
    // Defocus blur (FWHM, sensor pixels), added in quadrature to the optics' star profile.
    double defocus_fwhm = 0.0;

    std::uint64_t seed = 1;     // same seed, same settings, same frame_index: same bytes
    std::uint64_t frame_index = 0;

    // Dark subtraction: a full-sensor 8-bit dark (sensor_width * sensor_height bytes),
    // subtracted from 8-bit outputs (RAW8, Y8) with saturation at 0; null when off.
    const std::uint8_t* dark_frame = nullptr;
};

// Bytes of one frame for the request's ROI and image type: width*height*(1|3|2).
std::size_t frame_bytes(const RenderRequest& req);

// The sensor model behind a request's frames, for checking measurements against it.
struct SensorTruth {
    double electrons_per_adu16;  // electrons per unit of RAW16 data (left-aligned) at bin 1
    double read_noise_e;         // rms, electrons
    double full_well_e;          // 0: none, only the ADC clips
    double dark_e_per_s;         // dark current of a typical (not hot) pixel at temperature_c
};
SensorTruth sensor_truth(const RenderRequest& req);

class Renderer {
public:
    Renderer();
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Writes exactly frame_bytes(req) bytes to out. Fast path: settings that did not
    // change since the last call reuse the precomputed noiseless frame.
    void render(const RenderRequest& req, std::uint8_t* out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace camsim

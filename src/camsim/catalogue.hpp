// The simulated camera models, as data.
#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "ASICamera2.h"

namespace camsim {

struct ControlDef {
    ASI_CONTROL_TYPE type;
    std::string name;
    std::string description;
    long min;
    long max;
    long def;
    bool auto_supported;
    bool writable;
};

struct GainPresets {
    int offset_highest_dr;
    int offset_unity_gain;
    int gain_lowest_rn;
    int offset_lowest_rn;
    int low_gain;
    int medium_gain;
    int high_gain;
    int high_offset;
};

struct Model {
    std::string key;   // what ORLICAM_SIM_CAMERAS and configure() name
    std::string name;  // ASI_CAMERA_INFO.Name
    int usb_pid;
    int width;
    int height;
    bool color;
    ASI_BAYER_PATTERN bayer;
    std::vector<int> bins;
    std::vector<ASI_IMG_TYPE> formats;
    double pixel_um;
    float elec_per_adu;
    double full_well_e;  // electrons a pixel holds; a little under the ADC's range at gain 0
    int bit_depth;
    bool st4;
    bool cooler;
    bool usb3;
    bool trigger;
    bool gps;
    GainPresets presets;
    std::array<unsigned char, 8> serial_base;
    std::vector<ControlDef> controls;

    ASI_CAMERA_INFO info(int camera_id) const;
    const ControlDef* control(int type) const;
    std::vector<ASI_CAMERA_MODE> modes() const;
    bool has_bin(int bin) const;
    bool has_format(int img_type) const;
};

inline constexpr int kVendorId = 0x03C3;

const std::vector<Model>& catalogue();
// Case-insensitive; null when unknown.
const Model* find_model(std::string_view key);
const std::vector<std::string>& default_camera_keys();

}  // namespace camsim

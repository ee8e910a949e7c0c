#include "catalogue.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace camsim {
namespace {

struct ControlRanges {
    long gain_max;
    long gain_def;
    long offset_max;
    long offset_def;
};

// The control list a model's features imply, in the order the vendor's cameras report it.
std::vector<ControlDef> controls_for(const Model& m, ControlRanges r) {
    std::vector<ControlDef> c = {
        {ASI_GAIN, "Gain", "Gain", 0, r.gain_max, r.gain_def, true, true},
        {ASI_EXPOSURE, "Exposure", "Exposure Time(us)", 32, 2000000000L, 10000, true, true},
        {ASI_OFFSET, "Offset", "offset", 0, r.offset_max, r.offset_def, false, true},
        {ASI_BANDWIDTHOVERLOAD, "BandWidth", "The total data transfer rate percentage", 40, 100, 50, true, true},
        {ASI_FLIP, "Flip", "Flip: 0->None 1->Horiz 2->Vert 3->Both", 0, 3, 0, false, true},
        {ASI_AUTO_MAX_GAIN, "AutoExpMaxGain", "Auto exposure maximum gain value", 0, r.gain_max, r.gain_max / 2, false, true},
        {ASI_AUTO_MAX_EXP, "AutoExpMaxExpMS", "Auto exposure maximum exposure value(unit ms)", 1, 60000, 100, false, true},
        {ASI_AUTO_TARGET_BRIGHTNESS, "AutoExpTargetBrightness", "Auto exposure target brightness value", 50, 160, 100, false, true},
        {ASI_HARDWARE_BIN, "HardwareBin", "Is hardware bin2:0->No 1->Yes", 0, 1, 0, false, true},
        {ASI_HIGH_SPEED_MODE, "HighSpeedMode", "Is high speed mode:0->No 1->Yes", 0, 1, 0, false, true},
        {ASI_GAMMA, "Gamma", "gamma", 1, 100, 50, false, true},
        {ASI_TEMPERATURE, "Temperature", "Sensor temperature(10x degrees Celsius)", -500, 1000, 200, false, false},
    };
    if (m.color) {
        c.push_back({ASI_WB_R, "WB_R", "White balance: Red component", 1, 99, 52, true, true});
        c.push_back({ASI_WB_B, "WB_B", "White balance: Blue component", 1, 99, 95, true, true});
        c.push_back({ASI_MONO_BIN, "Mono bin", "bin R G G B to one pixel for color camera, color will lost", 0, 1, 0, false, true});
    }
    if (m.cooler) {
        c.push_back({ASI_COOLER_POWER_PERC, "CoolPowerPerc", "Cooler power percent", 0, 100, 0, false, false});
        c.push_back({ASI_TARGET_TEMP, "TargetTemp", "Target temperature(cool camera only)", -40, 30, 0, false, true});
        c.push_back({ASI_COOLER_ON, "CoolerOn", "turn on/off cooler(cool camera only)", 0, 1, 0, false, true});
        c.push_back({ASI_FAN_ON, "FanOn", "turn on/off fan(cool camera only)", 0, 1, 1, false, true});
        c.push_back({ASI_ANTI_DEW_HEATER, "AntiDewHeater", "turn on/off anti dew heater", 0, 1, 0, false, true});
    }
    if (m.gps) {
        c.push_back({ASI_GPS_SUPPORT, "GPS", "the camera supports GPS", 0, 1, 1, false, false});
        c.push_back({ASI_GPS_START_LINE, "GPSStartLine", "the line of the GPS start time stamp", 0, m.height - 1, 0, false, true});
        c.push_back({ASI_GPS_END_LINE, "GPSEndLine", "the line of the GPS end time stamp", 0, m.height - 1, 1, false, true});
    }
    return c;
}

Model with_controls(Model m, ControlRanges r) {
    m.controls = controls_for(m, r);
    return m;
}

// Default offsets hold the bias of a default frame (default gain) about four read-noise
// sigmas above zero, so that no pixel of a bias frame clips at 0.
std::vector<Model> build_catalogue() {
    std::vector<Model> models;
    models.push_back(with_controls(
        {.key = "asi462mc", .name = "ZWO ASI462MC Simulator", .usb_pid = 0x462B,
         .width = 1936, .height = 1096, .color = true, .bayer = ASI_BAYER_RG, .bins = {1, 2, 3, 4},
         .formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8},
         .pixel_um = 2.9, .elec_per_adu = 3.06f, .full_well_e = 11200, .bit_depth = 12, .st4 = true, .cooler = false,
         .usb3 = true, .trigger = false, .gps = false,
         .presets = {5, 24, 80, 12, 0, 80, 350, 40},
         .serial_base = {0x46, 0x2B, 0x5A, 0x57, 0x10, 0x03, 0x41, 0x00}, .controls = {}},
        {570, 200, 80, 25}));
    models.push_back(with_controls(
        {.key = "asi294mm_pro_gps", .name = "ZWO ASI294MM Pro GPS Simulator", .usb_pid = 0x294E,
         .width = 4144, .height = 2822, .color = false, .bayer = ASI_BAYER_RG, .bins = {1, 2, 3, 4},
         .formats = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8},
         .pixel_um = 4.63, .elec_per_adu = 3.92f, .full_well_e = 58000, .bit_depth = 14, .st4 = true, .cooler = true,
         .usb3 = true, .trigger = true, .gps = true,
         .presets = {10, 30, 120, 30, 0, 120, 360, 50},
         .serial_base = {0x29, 0x4E, 0x5A, 0x57, 0x22, 0x07, 0x19, 0x00}, .controls = {}},
        {570, 120, 250, 8}));
    models.push_back(with_controls(
        {.key = "asi120mm_mini", .name = "ZWO ASI120MM Mini Simulator", .usb_pid = 0x120C,
         .width = 1280, .height = 960, .color = false, .bayer = ASI_BAYER_RG, .bins = {1, 2},
         .formats = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8},
         .pixel_um = 3.75, .elec_per_adu = 4.1f, .full_well_e = 13500, .bit_depth = 12, .st4 = true, .cooler = false,
         .usb3 = false, .trigger = false, .gps = false,
         .presets = {1, 3, 60, 10, 0, 50, 80, 20},
         .serial_base = {0x12, 0x0C, 0x5A, 0x57, 0x18, 0x11, 0x02, 0x00}, .controls = {}},
        {100, 50, 100, 5}));
    models.push_back(with_controls(
        {.key = "asi585mc", .name = "ZWO ASI585MC Simulator", .usb_pid = 0x585A,
         .width = 3840, .height = 2160, .color = true, .bayer = ASI_BAYER_RG, .bins = {1, 2, 3, 4},
         .formats = {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8},
         .pixel_um = 2.9, .elec_per_adu = 4.8f, .full_well_e = 17500, .bit_depth = 12, .st4 = false, .cooler = false,
         .usb3 = true, .trigger = false, .gps = false,
         .presets = {0, 70, 252, 35, 0, 100, 400, 60},
         .serial_base = {0x58, 0x5A, 0x5A, 0x57, 0x23, 0x05, 0x30, 0x00}, .controls = {}},
        {600, 200, 400, 20}));
    return models;
}

bool iequal(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

}  // namespace

const std::vector<Model>& catalogue() {
    static const std::vector<Model> models = build_catalogue();
    return models;
}

const Model* find_model(std::string_view key) {
    for (const Model& m : catalogue())
        if (iequal(m.key, key)) return &m;
    return nullptr;
}

const std::vector<std::string>& default_camera_keys() {
    static const std::vector<std::string> keys = {"asi462mc", "asi294mm_pro_gps"};
    return keys;
}

ASI_CAMERA_INFO Model::info(int camera_id) const {
    ASI_CAMERA_INFO info{};
    std::strncpy(info.Name, name.c_str(), sizeof(info.Name) - 1);
    info.CameraID = camera_id;
    info.MaxHeight = height;
    info.MaxWidth = width;
    info.IsColorCam = color ? ASI_TRUE : ASI_FALSE;
    info.BayerPattern = bayer;
    // Zero after the last bin and ASI_IMG_END after the last format mark the ends.
    std::copy(bins.begin(), bins.end(), info.SupportedBins);
    std::fill(std::begin(info.SupportedVideoFormat), std::end(info.SupportedVideoFormat), ASI_IMG_END);
    std::copy(formats.begin(), formats.end(), info.SupportedVideoFormat);
    info.PixelSize = pixel_um;
    info.MechanicalShutter = ASI_FALSE;
    info.ST4Port = st4 ? ASI_TRUE : ASI_FALSE;
    info.IsCoolerCam = cooler ? ASI_TRUE : ASI_FALSE;
    info.IsUSB3Host = usb3 ? ASI_TRUE : ASI_FALSE;
    info.IsUSB3Camera = usb3 ? ASI_TRUE : ASI_FALSE;
    info.ElecPerADU = elec_per_adu;
    info.BitDepth = bit_depth;
    info.IsTriggerCam = trigger ? ASI_TRUE : ASI_FALSE;
    return info;
}

const ControlDef* Model::control(int type) const {
    for (const ControlDef& c : controls)
        if (c.type == type) return &c;
    return nullptr;
}

std::vector<ASI_CAMERA_MODE> Model::modes() const {
    if (!trigger) return {ASI_MODE_NORMAL};
    return {ASI_MODE_NORMAL, ASI_MODE_TRIG_SOFT_EDGE, ASI_MODE_TRIG_RISE_EDGE, ASI_MODE_TRIG_FALL_EDGE,
            ASI_MODE_TRIG_SOFT_LEVEL, ASI_MODE_TRIG_HIGH_LEVEL, ASI_MODE_TRIG_LOW_LEVEL};
}

bool Model::has_bin(int bin) const { return std::find(bins.begin(), bins.end(), bin) != bins.end(); }

bool Model::has_format(int img_type) const {
    return std::find(formats.begin(), formats.end(), img_type) != formats.end();
}

}  // namespace camsim

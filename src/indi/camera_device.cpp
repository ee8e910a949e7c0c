#include "camera_device.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "asi_errors.hpp"
#include "blob_sender.hpp"

namespace {

constexpr const char *kControlsTab = "Controls";

// By the SDK's pattern number (RG, BG, GR, GB): the name and the stream manager's format.
constexpr struct {
    const char *name;
    INDI_PIXEL_FORMAT stream;
} kBayer[] = {{"RGGB", INDI_BAYER_RGGB}, {"BGGR", INDI_BAYER_BGGR}, {"GRBG", INDI_BAYER_GRBG}, {"GBRG", INDI_BAYER_GBRG}};

const auto &bayer(int pattern) { return kBayer[pattern >= 0 && pattern < 4 ? pattern : 0]; }

// Capture formats in CCD_CAPTURE_FORMAT order; 16-bit first, the default.
struct Format {
    const char *name, *label;
    int img_type, bits;
};
constexpr Format kFormats[] = {{"RAW16", "Raw 16 bit", ASI_IMG_RAW16, 16}, {"RAW8", "Raw 8 bit", ASI_IMG_RAW8, 8}};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each pattern's 2x2 cells as channel numbers (R 0, G 1, B 2), for binning a mosaic here.
constexpr int kChannels[4][4] = {{0, 1, 1, 2}, {2, 1, 1, 0}, {1, 0, 2, 1}, {1, 2, 0, 1}};

// libindi 1.9.9 corrupts its heap echoing a text vector of about 64 KB to indiserver: longer
// texts are refused before the library sees them. No FITS value or path comes near this.
constexpr std::size_t kMaxText = 4096;

// How long a local upload may take before it is reported failed and given up.
constexpr double kSaveDeadline = 20.0;

// How often a lost camera is looked for, and how long an exposure asked for meanwhile waits
// for it (a USB reset or a replugged cable takes seconds; a client retries much later).
constexpr int kSearchPeriodMs = 200;
constexpr double kHeldExposureLimit = 60.0;

// The camera ids the driver's devices have open: a lost camera's search passes them by.
std::vector<int> &open_ids() {
    static std::vector<int> ids;
    return ids;
}

void forget_id(int id) {
    auto &ids = open_ids();
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
}

// Electrons per unit of the delivered data, as the camera layer computes it (sensor.py): the
// camera's gain-0 figure in its ADC's units, which gain G (0.1 dB of amplitude) divides by
// 10^(G/200), the data word shifts by 16 - bits (RAW16) or 8 - bits (RAW8), and a binned
// pixel, the average of bin x bin pixels, multiplies by bin^2.
double electrons_per_adu(float gain0, int bit_depth, long gain, bool raw16, int bin) {
    // The SDK keeps the figure as a 32-bit float: its 7 significant digits, not the binary tail.
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.7g", double(gain0));
    const double base = std::strtod(digits, nullptr);
    const int shift = (raw16 ? 16 : 8) - bit_depth;
    return base / std::pow(10.0, gain / 200.0) / std::ldexp(1.0, shift) * bin * bin;
}

}  // namespace

std::string serial_number(int camera_id) {
    ASI_SN sn{};
    if (ASIGetSerialNumber(camera_id, &sn) != ASI_SUCCESS) return {};
    std::string hex;
    for (unsigned char byte : sn.id) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

namespace {

}  // namespace

CameraDevice::CameraDevice(const ASI_CAMERA_INFO &info, const std::string &name)
    : info_(info), name_(name), id_(info.CameraID) {
    setDeviceName(name_.c_str());
    setVersion(1, 0);
}

const char *CameraDevice::getDefaultName() { return name_.c_str(); }

void CameraDevice::ISGetProperties(const char *dev) {
    if (dev == nullptr || isDeviceNameMatch(dev)) INDI::CCD::ISGetProperties(dev);
}

bool CameraDevice::initProperties() {
    INDI::CCD::initProperties();

    uint32_t cap = CCD_CAN_ABORT | CCD_CAN_BIN | CCD_CAN_SUBFRAME | CCD_HAS_STREAMING;
    if (info_.ST4Port) cap |= CCD_HAS_ST4_PORT;
    if (info_.IsCoolerCam) cap |= CCD_HAS_COOLER;
    if (info_.IsColorCam) cap |= CCD_HAS_BAYER;
    if (info_.MechanicalShutter) cap |= CCD_HAS_SHUTTER;
    SetCCDCapability(cap);

    for (const Format &f : kFormats)
        addCaptureFormat({f.name, f.label, static_cast<uint8_t>(f.bits), f.img_type == ASI_IMG_RAW16});

    GainNP[0].fill("GAIN", "Gain", "%.f", 0, 0, 1, 0);
    GainNP.fill(getDeviceName(), "CCD_GAIN", "Gain", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);
    OffsetNP[0].fill("OFFSET", "Offset", "%.f", 0, 0, 1, 0);
    OffsetNP.fill(getDeviceName(), "CCD_OFFSET", "Offset", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);

    CoolerSP[0].fill("COOLER_ON", "On", ISS_OFF);
    CoolerSP[1].fill("COOLER_OFF", "Off", ISS_ON);
    CoolerSP.fill(getDeviceName(), "CCD_COOLER", "Cooler", MAIN_CONTROL_TAB, IP_WO, ISR_1OFMANY, 0, IPS_IDLE);
    CoolerPowerNP[0].fill("CCD_COOLER_VALUE", "Power (%)", "%.f", 0, 100, 1, 0);
    CoolerPowerNP.fill(getDeviceName(), "CCD_COOLER_POWER", "Cooler power", MAIN_CONTROL_TAB, IP_RO, 60, IPS_IDLE);

    ControlsNP.fill(getDeviceName(), "CCD_CONTROLS", "Controls", kControlsTab, IP_RW, 60, IPS_IDLE);
    ControlModesSP.fill(getDeviceName(), "CCD_CONTROLS_MODE", "Automatic", kControlsTab, IP_RW, ISR_NOFMANY, 60,
                        IPS_IDLE);
    sim_.init(getDeviceName(), id_);

    exposure_timer_.setSingleShot(true);
    exposure_timer_.callOnTimeout([this] { poll_exposure(); });
    save_timer_.setSingleShot(true);
    save_timer_.callOnTimeout([this] { poll_saves(); });
    // Local uploads start in the folder they are confined to.
    IUSaveText(&UploadSettingsT[UPLOAD_DIR], uploads::root().c_str());
    guide_poll_.setSingleShot(true);
    guide_poll_.callOnTimeout([this] { report_pulses(); });

    addDebugControl();
    return true;
}

bool CameraDevice::updateProperties() {
    INDI::CCD::updateProperties();
    const bool gain = asi::find(controls_, ASI_GAIN) != nullptr, offset = asi::find(controls_, ASI_OFFSET) != nullptr;
    if (isConnected()) {
        if (HasCooler()) {
            defineProperty(CoolerSP);
            defineProperty(CoolerPowerNP);
        } else {
            TemperatureNP.p = IP_RO;     // the sensor's reading, for CCD-TEMP in the header
            defineProperty(&TemperatureNP);
        }
        if (gain) defineProperty(GainNP);
        if (offset) defineProperty(OffsetNP);
        if (ControlsNP.size() > 0) defineProperty(ControlsNP);
        if (ControlModesSP.size() > 0) defineProperty(ControlModesSP);
        sim_.define(*this);
        SetTimer(getCurrentPollingPeriod());
    } else {
        if (HasCooler()) {
            deleteProperty(CoolerSP.getName());
            deleteProperty(CoolerPowerNP.getName());
        } else {
            deleteProperty(TemperatureNP.name);
        }
        if (gain) deleteProperty(GainNP.getName());
        if (offset) deleteProperty(OffsetNP.getName());
        if (ControlsNP.size() > 0) deleteProperty(ControlsNP.getName());
        if (ControlModesSP.size() > 0) deleteProperty(ControlModesSP.getName());
        sim_.remove(*this);
    }
    return true;
}

// --- connection -----------------------------------------------------------------

bool CameraDevice::Connect() {
    int code = ASIOpenCamera(id_);
    if (code != ASI_SUCCESS && !serial_.empty()) {      // lost and back under another id
        const int found = find_camera();
        if (found >= 0) id_ = found, code = ASI_SUCCESS;
    }
    if (code == ASI_SUCCESS) code = ASIInitCamera(id_);
    if (code == ASI_SUCCESS) controls_ = asi::read_controls(id_, code);
    if (code != ASI_SUCCESS) {
        LOGF_ERROR("%s not opened: %s", name_.c_str(), asi::describe(code));
        ASICloseCamera(id_);
        return false;
    }
    if (asi::find(controls_, ASI_FLIP)) ASISetControlValue(id_, ASI_FLIP, 0, ASI_FALSE);
    serial_ = serial_number(id_);
    open_ids().push_back(id_);
    sim_.set_camera(id_);
    lost_ = false;
    if (asi::find(controls_, ASI_TARGET_TEMP)) set_point_ = read_control(ASI_TARGET_TEMP);

    SetCCDParams(info_.MaxWidth, info_.MaxHeight, 16, info_.PixelSize, info_.PixelSize);
    PrimaryCCD.setFrameBufferSize(info_.MaxWidth * info_.MaxHeight * 2);
    if (const asi::Control *e = asi::find(controls_, ASI_EXPOSURE))
        PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", e->min / 1e6, e->max / 1e6, 1, false);
    int max_bin = 1;
    for (int b : info_.SupportedBins) max_bin = std::max(max_bin, b);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, max_bin, 1, false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, max_bin, 1, false);

    // Ranges from the camera, so that the properties refuse what it would refuse.
    for (auto [property, type] : {std::pair{std::addressof(GainNP), ASI_GAIN}, std::pair{std::addressof(OffsetNP), ASI_OFFSET}})
        if (const asi::Control *c = asi::find(controls_, type)) {
            (*property)[0].setMinMax(c->min, c->max);
            (*property)[0].setValue(read_control(type));
        }
    if (const asi::Control *t = asi::find(controls_, ASI_TARGET_TEMP)) {
        TemperatureN[0].min = t->min;
        TemperatureN[0].max = t->max;
    }
    TemperatureN[0].value = read_control(ASI_TEMPERATURE) / 10.0;
    define_controls();
    sim_.set_gps(asi::find(controls_, ASI_GPS_SUPPORT) != nullptr);

    if (HasBayer()) IUSaveText(&BayerT[2], bayer(info_.BayerPattern).name);
    int format = CaptureFormatSP.findOnSwitchIndex();
    img_type_ = kFormats[format < 0 ? 0 : format].img_type;
    PrimaryCCD.setBPP(bytes_per_pixel() * 8);
    if (HasStreaming()) {
        Streamer->setPixelFormat(HasBayer() ? bayer(info_.BayerPattern).stream : INDI_MONO, bytes_per_pixel() * 8);
        Streamer->setSize(info_.MaxWidth, info_.MaxHeight);
    }
    LOGF_INFO("%s connected", name_.c_str());
    return true;
}

bool CameraDevice::Disconnect() {
    end_pulses("the camera was disconnected");
    exposure_timer_.stop();
    if (exposing_) ASIStopExposure(id_);
    exposing_ = false;
    // The next connection starts afresh, not with the Alert of a failure before this one.
    if (INumberVectorProperty *exposure = getNumber("CCD_EXPOSURE")) exposure->s = IPS_IDLE;
    pump_.finish();          // the reader ends promptly once its capture is stopped
    ASICloseCamera(id_);
    forget_id(id_);
    lost_ = exposure_held_ = false;
    return true;
}

bool CameraDevice::lost(int code) {
    if (code != ASI_ERROR_CAMERA_REMOVED && code != ASI_ERROR_INVALID_ID) return false;
    if (lost_ || !isConnected()) return true;
    lost_ = true;        // from here isConnected() is false: CONNECTION is Alert
    lost_at_ = std::chrono::steady_clock::now();
    end_pulses("the camera is lost");
    if (exposing_) {          // taken again on the camera's return
        exposing_ = false;
        exposure_timer_.stop();
        hold_exposure(static_cast<float>(exposure_s_));
    }
    pump_.stop();
    ISwitchVectorProperty *connection = getSwitch("CONNECTION");
    connection->s = IPS_ALERT;
    IDSetSwitch(connection, "%s is lost (%s): waiting for it to come back", name_.c_str(), asi::describe(code));
    return true;
}

int CameraDevice::find_camera() {
    const auto &held = open_ids();
    for (int i = 0, n = ASIGetNumOfConnectedCameras(); i < n; ++i) {
        ASI_CAMERA_INFO info{};
        if (ASIGetCameraProperty(&info, i) != ASI_SUCCESS ||
            std::strncmp(info.Name, info_.Name, sizeof info.Name) != 0 ||
            std::find(held.begin(), held.end(), info.CameraID) != held.end())
            continue;
        if (ASIOpenCamera(info.CameraID) != ASI_SUCCESS) continue;     // another program has it
        if (serial_.empty() || serial_number(info.CameraID) == serial_) return info.CameraID;
        ASICloseCamera(info.CameraID);
    }
    return -1;
}

void CameraDevice::search() {
    if (!lost_) return;
    if (exposure_held_ && seconds_since(held_at_) > kHeldExposureLimit) {
        exposure_held_ = false;
        LOGF_ERROR("exposure not started: %s has not come back in %.0f s", name_.c_str(), kHeldExposureLimit);
        PrimaryCCD.setExposureFailed();
    }
    // The camera closes once its video reader has let go of it; that reader ends on its own.
    pump_.reap();
    if (!pump_.running()) {
        if (std::find(open_ids().begin(), open_ids().end(), id_) != open_ids().end()) {
            ASICloseCamera(id_);
            forget_id(id_);
        }
        const int found = find_camera();
        if (found >= 0 && reopen(found)) return;
        if (found >= 0) ASICloseCamera(found);
    }
}

bool CameraDevice::reopen(int camera_id) {
    const int previous = id_;
    id_ = camera_id;
    int code = ASIInitCamera(id_);
    if (code == ASI_SUCCESS) code = restore_settings();
    if (code != ASI_SUCCESS) {
        LOGF_WARN("%s is back but not reopened yet: %s", name_.c_str(), asi::describe(code));
        id_ = previous;
        return false;
    }
    open_ids().push_back(id_);
    sim_.set_camera(id_);
    lost_ = false;
    ISwitchVectorProperty *connection = getSwitch("CONNECTION");
    connection->s = IPS_OK;
    IDSetSwitch(connection, "%s is back after %.1f s: reopened with its settings", name_.c_str(),
                seconds_since(lost_at_));
    if (exposure_held_) {
        exposure_held_ = false;
        if (!StartExposure(held_duration_)) PrimaryCCD.setExposureFailed();
    }
    return true;
}

// What the client set, put back on a camera that was reopened: the region, binning and
// format are applied by every exposure and stream anyway.
int CameraDevice::restore_settings() {
    int code = ASI_SUCCESS;
    auto automatic = [this](int type) {
        for (std::size_t i = 0; i < auto_controls_.size(); ++i)
            if (auto_controls_[i]->type == type) return ControlModesSP[i].getState() == ISS_ON;
        return false;
    };
    auto set = [&](int type, double value) {
        if (!asi::find(controls_, type)) return;
        const int rc = ASISetControlValue(id_, type, std::lround(value), automatic(type) ? ASI_TRUE : ASI_FALSE);
        if (code == ASI_SUCCESS) code = rc;
    };
    set(ASI_FLIP, 0);
    set(ASI_GAIN, GainNP[0].getValue());
    set(ASI_OFFSET, OffsetNP[0].getValue());
    for (std::size_t i = 0; i < vector_controls_.size(); ++i) set(vector_controls_[i]->type, ControlsNP[i].getValue());
    if (HasCooler() && CoolerSP[0].getState() == ISS_ON) {
        set(ASI_TARGET_TEMP, set_point_);
        set(ASI_COOLER_ON, 1);
    }
    return code;
}

bool CameraDevice::refuse_while_lost(const char *name) {
    if (!lost_) return false;
    static constexpr const char *kTouchTheCamera[] = {"CCD_GAIN", "CCD_OFFSET", "CCD_CONTROLS", "CCD_CONTROLS_MODE",
                                                      "CCD_COOLER", "SIM_GPS_FIX"};
    if (std::none_of(std::begin(kTouchTheCamera), std::end(kTouchTheCamera),
                     [name](const char *n) { return std::strcmp(n, name) == 0; }))
        return false;
    const char *why = "%s refused: %s is lost, waiting for it to come back";
    if (INumberVectorProperty *n = getNumber(name)) {
        n->s = IPS_ALERT;
        IDSetNumber(n, why, name, name_.c_str());
    } else if (ISwitchVectorProperty *sw = getSwitch(name)) {
        sw->s = IPS_ALERT;
        IDSetSwitch(sw, why, name, name_.c_str());
    }
    return true;
}

void CameraDevice::TimerHit() {
    // libindi counts a device connected only while CONNECTION is Ok: a lost camera's is Alert.
    if (!isConnected() && !lost_) return;
    if (lost_)
        search();
    else
        refresh_temperature();
    std::string error = pump_.take_error();
    if (!error.empty()) {
        LOG_ERROR(error.c_str());
        Streamer->setStream(false);
    }
    pump_.reap();
    if (!busy()) apply_pending();
    // The base shortens the current period for short exposures; they are polled by their own
    // timer here, so the periodic work keeps the configured pace instead of spinning.
    // A lost camera is looked for more often, so that it is back soon after it returns.
    SetTimer(lost_ ? kSearchPeriodMs : getPollingPeriod());
}

long CameraDevice::read_control(int type, bool *is_auto) const {
    long value = 0;
    ASI_BOOL automatic = ASI_FALSE;
    ASIGetControlValue(id_, type, &value, &automatic);
    if (is_auto) *is_auto = automatic != ASI_FALSE;
    return value;
}

void CameraDevice::refresh_temperature() {
    long tenths = 0;
    ASI_BOOL is_auto = ASI_FALSE;
    // The one SDK call made while idle: where an unplugged camera shows.
    if (lost(ASIGetControlValue(id_, ASI_TEMPERATURE, &tenths, &is_auto))) return;
    const double celsius = tenths / 10.0;
    const bool changed = std::abs(celsius - TemperatureN[0].value) >= 0.05;
    TemperatureN[0].value = celsius;
    if (changed || TemperatureNP.s == IPS_BUSY) IDSetNumber(&TemperatureNP, nullptr);
    if (HasCooler()) {
        const double power = read_control(ASI_COOLER_POWER_PERC);
        if (power != CoolerPowerNP[0].getValue()) {
            CoolerPowerNP[0].setValue(power);
            CoolerPowerNP.setState(power > 0 ? IPS_BUSY : IPS_IDLE);
            CoolerPowerNP.apply();
        }
    }
}

template <class P> void CameraDevice::settle(P &property, int code, const char *what) {
    property.setState(code == ASI_SUCCESS ? IPS_OK : IPS_ALERT);
    if (code == ASI_SUCCESS)
        property.apply();
    else
        property.apply("%s: %s", what, asi::describe(code));
    lost(code);
}

// --- frames -----------------------------------------------------------------------

void CameraDevice::resolve(roi::Rect asked, int bin, roi::Rect &want, roi::Plan &plan) const {
    const int full_w = info_.MaxWidth, full_h = info_.MaxHeight;
    want = roi::clip(asked, full_w / bin, full_h / bin);
    if (roi::plan(want, bin, full_w, full_h, info_.SupportedBins, int(std::size(info_.SupportedBins)), plan)) return;
    // Nothing covers it even at bin 1 (a sensor narrower than a width step): the largest
    // region that can be covered at this bin.
    want = roi::fit(asked, full_w / bin, full_h / bin);
    const int only[] = {bin, 0};
    roi::plan(want, bin, full_w, full_h, only, 2, plan);
}

roi::Rect CameraDevice::wanted() const {
    const int bin = PrimaryCCD.getBinX();
    return {PrimaryCCD.getSubX() / bin, PrimaryCCD.getSubY() / bin, PrimaryCCD.getSubW() / bin,
            PrimaryCCD.getSubH() / bin};
}

roi::Binning CameraDevice::binning() const {
    roi::Binning b;
    b.unit = img_type_ == ASI_IMG_RAW16 ? 1 << std::clamp(16 - info_.BitDepth, 0, 15) : 1;
    if (info_.IsColorCam) b.bayer = kChannels[info_.BayerPattern >= 0 && info_.BayerPattern < 4 ? info_.BayerPattern : 0];
    return b;
}

void CameraDevice::publish_frame(const roi::Rect &want) {
    const int bin = PrimaryCCD.getBinX();
    getNumber("CCD_FRAME")->s = IPS_OK;           // setFrame announces it: not a refusal left from before
    PrimaryCCD.setFrame(want.x * bin, want.y * bin, want.width * bin, want.height * bin);
    if (HasStreaming()) Streamer->setSize(want.width, want.height);
}

bool CameraDevice::UpdateCCDFrame(int x, int y, int w, int h) {
    const int bin = PrimaryCCD.getBinX();
    roi::Rect want;
    roi::Plan plan;
    resolve({x / bin, y / bin, w / bin, h / bin}, bin, want, plan);
    if (want.width * bin != w || want.height * bin != h || want.x * bin != x || want.y * bin != y)
        LOGF_INFO("frame (%d,%d) %dx%d delivered as (%d,%d) %dx%d at bin %d", x, y, w, h, want.x * bin,
                  want.y * bin, want.width * bin, want.height * bin, bin);
    publish_frame(want);
    return true;
}

void CameraDevice::apply_binning(int bin) {
    // The frame stays the same part of the sensor, fitted to the new bin.
    const int x = PrimaryCCD.getSubX(), y = PrimaryCCD.getSubY(), w = PrimaryCCD.getSubW(), h = PrimaryCCD.getSubH();
    getNumber("CCD_BINNING")->s = IPS_OK;         // setBin announces it
    PrimaryCCD.setBin(bin, bin);
    roi::Rect want;
    roi::Plan plan;
    resolve({x / bin, y / bin, w / bin, h / bin}, bin, want, plan);
    publish_frame(want);
}

bool CameraDevice::UpdateCCDBin(int hor, int ver) {
    if (hor != ver) {
        LOGF_ERROR("binning %dx%d refused: the camera bins both axes alike", hor, ver);
        return false;
    }
    if (std::find(std::begin(info_.SupportedBins), std::end(info_.SupportedBins), hor) == std::end(info_.SupportedBins)) {
        LOGF_ERROR("binning %d refused: the camera does not offer it", hor);
        return false;
    }
    if (busy()) {
        pending_bin_ = hor;
        return true;
    }
    apply_binning(hor);
    return true;
}

bool CameraDevice::new_binning(double values[], char *names[], int n) {
    INumberVectorProperty *binning = getNumber("CCD_BINNING");
    int v[2] = {pending_bin_ ? pending_bin_ : PrimaryCCD.getBinX(), pending_bin_ ? pending_bin_ : PrimaryCCD.getBinY()};
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(names[i], "HOR_BIN") == 0) v[0] = static_cast<int>(std::lround(values[i]));
        if (std::strcmp(names[i], "VER_BIN") == 0) v[1] = static_cast<int>(std::lround(values[i]));
    }
    if (!UpdateCCDBin(v[0], v[1])) {
        binning->s = IPS_ALERT;
        IDSetNumber(binning, nullptr);
        return true;
    }
    if (pending_bin_ != 0 && busy()) {
        binning->s = IPS_BUSY;
        IDSetNumber(binning, "binning %d applies to the next %s: one is running", v[0],
                    pump_.running() ? "stream" : "exposure");
    }
    return true;
}

bool CameraDevice::new_frame(double values[], char *names[], int n) {
    // Handled here so that the property shows the frame delivered, not the one asked for.
    INumberVectorProperty *frame = getNumber("CCD_FRAME");
    int v[4] = {PrimaryCCD.getSubX(), PrimaryCCD.getSubY(), PrimaryCCD.getSubW(), PrimaryCCD.getSubH()};
    if (frame_pending_) std::copy(std::begin(pending_frame_), std::end(pending_frame_), v);
    const char *keys[4] = {"X", "Y", "WIDTH", "HEIGHT"};
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k)
            if (std::strcmp(names[i], keys[k]) == 0) v[k] = static_cast<int>(std::lround(values[i]));
    if (v[0] < 0 || v[1] < 0 || v[2] <= 0 || v[3] <= 0 || v[0] + v[2] > PrimaryCCD.getXRes() ||
        v[1] + v[3] > PrimaryCCD.getYRes()) {
        frame->s = IPS_ALERT;
        IDSetNumber(frame, "frame (%d,%d) %dx%d refused: it must lie inside the %dx%d sensor", v[0], v[1], v[2],
                    v[3], PrimaryCCD.getXRes(), PrimaryCCD.getYRes());
        return true;
    }
    if (busy()) {
        std::copy(std::begin(v), std::end(v), pending_frame_);
        frame_pending_ = true;
        frame->s = IPS_BUSY;
        IDSetNumber(frame, "frame (%d,%d) %dx%d applies to the next %s: one is running", v[0], v[1], v[2], v[3],
                    pump_.running() ? "stream" : "exposure");
        return true;
    }
    frame->s = UpdateCCDFrame(v[0], v[1], v[2], v[3]) ? IPS_OK : IPS_ALERT;
    IDSetNumber(frame, nullptr);
    return true;
}

bool CameraDevice::reset_frame() {
    INDI::PropertySwitch reset = getSwitch("CCD_FRAME_RESET");
    reset.reset();
    reset.setState(IPS_OK);
    reset.apply();
    pending_bin_ = 1;
    std::copy_n(std::array<int, 4>{0, 0, PrimaryCCD.getXRes(), PrimaryCCD.getYRes()}.begin(), 4, pending_frame_);
    frame_pending_ = true;
    if (!busy()) apply_pending();
    return true;
}

void CameraDevice::apply_pending() {
    if (pending_bin_ != 0) {
        apply_binning(std::exchange(pending_bin_, 0));
    }
    if (frame_pending_) {
        frame_pending_ = false;
        UpdateCCDFrame(pending_frame_[0], pending_frame_[1], pending_frame_[2], pending_frame_[3]);
    }
}

bool CameraDevice::SetCaptureFormat(uint8_t index) {
    // Ekos sends the format again when it retries a failed exposure, while its next one may run.
    if (index < std::size(kFormats) && kFormats[index].img_type == img_type_) return true;
    if (index >= std::size(kFormats) || pump_.running() || exposing_) {
        LOG_ERROR("capture format not changed while an exposure or a stream runs");
        return false;
    }
    img_type_ = kFormats[index].img_type;
    PrimaryCCD.setBPP(kFormats[index].bits);
    if (HasStreaming())
        Streamer->setPixelFormat(HasBayer() ? bayer(info_.BayerPattern).stream : INDI_MONO, kFormats[index].bits);
    return true;
}

int CameraDevice::apply_region(const roi::Plan &plan) {
    int code = ASISetROIFormat(id_, plan.camera.width, plan.camera.height, plan.camera_bin, img_type_);
    if (code == ASI_SUCCESS) code = ASISetStartPos(id_, plan.camera.x, plan.camera.y);
    return code;
}

void CameraDevice::update_cfa(const roi::Rect &want) {
    if (!HasBayer()) return;
    const char *x = (want.x & 1) ? "1" : "0", *y = (want.y & 1) ? "1" : "0";
    if (std::strcmp(BayerT[0].text, x) == 0 && std::strcmp(BayerT[1].text, y) == 0) return;
    IUSaveText(&BayerT[0], x);
    IUSaveText(&BayerT[1], y);
    IDSetText(&BayerTP, nullptr);
}

// --- exposures ----------------------------------------------------------------------

bool CameraDevice::StartExposure(float duration) {
    if (lost_) return hold_exposure(duration);
    if (pump_.running()) {
        LOG_ERROR("exposure not started: a video stream is running; stop it first");
        return false;
    }
    apply_pending();
    roi::Rect want;
    roi::Plan plan;
    resolve(wanted(), PrimaryCCD.getBinX(), want, plan);
    int code = apply_region(plan);
    if (code == ASI_SUCCESS)
        code = ASISetControlValue(id_, ASI_EXPOSURE, std::lround(double(duration) * 1e6), ASI_FALSE);
    // Without a shutter a dark is a plain exposure of a covered sensor, labelled as such.
    const auto type = PrimaryCCD.getFrameType();
    const bool shut = info_.MechanicalShutter && (type == INDI::CCDChip::DARK_FRAME || type == INDI::CCDChip::BIAS_FRAME);
    PrimaryCCD.setExposureDuration(duration);
    if (code == ASI_SUCCESS) code = ASIStartExposure(id_, shut ? ASI_TRUE : ASI_FALSE);
    if (code != ASI_SUCCESS) {
        if (lost(code)) return hold_exposure(duration);      // found gone just now: it waits like the others
        LOGF_ERROR("exposure not started: %s", asi::describe(code));
        return false;
    }
    exposure_start_ = std::chrono::steady_clock::now();
    plan_ = plan;
    want_ = want;
    exposure_bin_ = PrimaryCCD.getBinX();
    exposure_s_ = duration;
    exposing_ = true;
    exposure_timer_.start(std::max(1, static_cast<int>(std::min(1.0, double(duration)) * 1000)));
    return true;
}

bool CameraDevice::AbortExposure() {
    exposure_held_ = exposure_retried_ = false;
    if (!exposing_) return true;
    exposure_timer_.stop();
    exposing_ = false;
    int code = ASIStopExposure(id_);
    if (code != ASI_SUCCESS) LOGF_ERROR("exposure not aborted: %s", asi::describe(code));
    return code == ASI_SUCCESS;
}

void CameraDevice::poll_exposure() {
    if (!exposing_) return;
    ASI_EXPOSURE_STATUS status = ASI_EXP_WORKING;
    int code = ASIGetExpStatus(id_, &status);
    if (code != ASI_SUCCESS) return exposure_failed("exposure status not read", code);
    if (status == ASI_EXP_FAILED || status == ASI_EXP_IDLE) {
        const char *what = status == ASI_EXP_FAILED ? "exposure failed: the camera reports ASI_EXP_FAILED"
                                                    : "exposure failed: the camera went idle before its end";
        if (!std::exchange(exposure_retried_, true)) {
            LOGF_WARN("%s; taken again", what);
            exposing_ = false;
            ASIStopExposure(id_);
            if (StartExposure(static_cast<float>(exposure_s_))) return;
        }
        exposure_retried_ = false;
        return exposure_failed(what, -1);
    }
    if (status == ASI_EXP_SUCCESS) {
        exposure_retried_ = false;
        return finish_exposure();
    }
    const double left = std::max(0.0, exposure_s_ - seconds_since(exposure_start_));
    // Whole seconds to the client; finer polls near the end, 1 ms once the time is up.
    if (std::ceil(left) != std::ceil(PrimaryCCD.getExposureLeft())) PrimaryCCD.setExposureLeft(std::ceil(left));
    const double next = left > 1.0 ? std::min(1.0, left - 1.0 + 1e-3) : left;
    exposure_timer_.start(std::max(1, static_cast<int>(next * 1000)));
}

void CameraDevice::finish_exposure() {
    exposing_ = false;
    const int bpp = bytes_per_pixel();
    const long bytes = long(plan_.camera.width) * plan_.camera.height * bpp;
    const bool direct = plan_.camera == want_ && plan_.factor == 1;
    ASI_GPS_DATA gps{};
    int code;
    {
        std::lock_guard<std::mutex> guard(ccdBufferLock);    // libindi's upload thread reads the buffer
        PrimaryCCD.setFrameBufferSize(want_.width * want_.height * bpp);
        if (!direct) raw_.resize(bytes);
        unsigned char *target = direct ? PrimaryCCD.getFrameBuffer() : raw_.data();
        code = asi::find(controls_, ASI_GPS_SUPPORT) ? ASIGetDataAfterExpGPS(id_, target, bytes, &gps)
                                                     : ASIGetDataAfterExp(id_, target, bytes);
        if (code == ASI_SUCCESS && !direct)
            roi::extract(raw_.data(), plan_, want_, bpp, binning(), PrimaryCCD.getFrameBuffer());
    }
    if (code != ASI_SUCCESS) return exposure_failed("image not read", code);

    gps_date_obs_.clear();
    const ASI_DATE_TIME &t = gps.Datetime;
    if (t.Year > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.Year, t.Month, t.Day, t.Hour,
                      t.Minute, t.Second, t.Msecond);
        gps_date_obs_ = text;
    }
    fits_gain_ = read_control(ASI_GAIN);
    fits_offset_ = read_control(ASI_OFFSET);
    PrimaryCCD.setBPP(bpp * 8);
    update_cfa(want_);
    const int mode = IUFindOnSwitchIndex(&UploadSP);
    if (mode == UPLOAD_LOCAL || mode == UPLOAD_BOTH) return deliver_locally(mode == UPLOAD_BOTH);
    delivering_ = true;
    blobs::send_off_loop([this] { send_with_libindi(); }, [this] { delivering_ = false; });
}

void CameraDevice::send_with_libindi() {
    {
        std::lock_guard<std::mutex> guard(upload_lock_);
        uploading_ = true;
    }
    ExposureComplete(&PrimaryCCD);      // starts libindi's upload thread
    std::unique_lock<std::mutex> guard(upload_lock_);
    upload_ended_.wait(guard, [this] { return !uploading_; });
}

void CameraDevice::libindi_upload_ended() {
    std::lock_guard<std::mutex> guard(upload_lock_);
    uploading_ = false;
    upload_ended_.notify_all();
}

bool CameraDevice::processFastExposure(INDI::CCDChip *chip) {
    // The first thing libindi's upload thread does. It may end on any of several paths, some
    // without a word (a FITS error); the end of the thread itself releases the sender.
    struct ThreadEnd {
        CameraDevice *device = nullptr;
        ~ThreadEnd() {
            if (device) device->libindi_upload_ended();
        }
    };
    thread_local ThreadEnd end;
    end.device = this;
    return INDI::CCD::processFastExposure(chip);
}

// --- local uploads -------------------------------------------------------------------
// libindi would write them from its upload thread while holding the frame buffer's lock,
// anywhere a client names: a FIFO or a stalled mount there left the next exposure waiting
// on that lock forever. Here the image is made in the loop and a worker writes it.

void CameraDevice::deliver_locally(bool send_too) {
    setCurrentPollingPeriod(getPollingPeriod());
    std::string folder, error;
    const std::string prefix = UploadSettingsT[UPLOAD_PREFIX].text ? UploadSettingsT[UPLOAD_PREFIX].text : "";
    if (!uploads::folder_below_root(UploadSettingsT[UPLOAD_DIR].text ? UploadSettingsT[UPLOAD_DIR].text : "", folder,
                                    error) ||
        !uploads::plain_name(prefix, error)) {
        LOGF_ERROR("image not saved: %s", error.c_str());
        PrimaryCCD.setExposureFailed();
        return;
    }
    const bool native = EncodeFormatSP[FORMAT_NATIVE].getState() == ISS_ON;
    std::vector<unsigned char> bytes;
    {
        std::lock_guard<std::mutex> guard(ccdBufferLock);
        if (native)
            bytes.assign(PrimaryCCD.getFrameBuffer(), PrimaryCCD.getFrameBuffer() + PrimaryCCD.getFrameBufferSize());
        else
            bytes = build_fits();
    }
    if (bytes.empty()) {
        PrimaryCCD.setExposureFailed();
        return;
    }
    const char *ext = native ? "bin" : "fits";
    if (!send_too) return start_save(folder, prefix, ext, std::move(bytes), false);
    auto image = std::make_shared<std::vector<unsigned char>>(std::move(bytes));
    blobs::send_off_loop([this, image, native] { send_blob(*image, native ? ".bin" : ".fits"); },
                         [this, image, folder, prefix, ext] { start_save(folder, prefix, ext, std::move(*image), true); });
}

void CameraDevice::start_save(const std::string &folder, const std::string &prefix, const char *ext,
                              std::vector<unsigned char> bytes, bool sent) {
    if (save_ && save_->state() == uploads::Save::State::Running) {
        LOGF_ERROR("image not saved: the previous image is still being saved to %s, which does not answer%s",
                   uploads::root().c_str(), sent ? "; the client has this one" : "");
        FileNameTP.s = IPS_ALERT;
        IDSetText(&FileNameTP, nullptr);
        if (sent)
            PrimaryCCD.setExposureComplete();
        else
            PrimaryCCD.setExposureFailed();
        return;
    }
    save_ = uploads::Save::start(folder, prefix, ext, std::move(bytes));
    save_reported_ = false;
    save_timer_.start(20);
}

std::vector<unsigned char> CameraDevice::build_fits() {
    const int bpp = bytes_per_pixel();
    const long pixels = long(want_.width) * want_.height;
    std::size_t size = 2880;
    void *memory = std::malloc(size);
    fitsfile *file = nullptr;
    int status = 0;
    fits_create_memfile(&file, &memory, &size, 2880, std::realloc, &status);
    long axes[2] = {want_.width, want_.height};
    if (status == 0) fits_create_img(file, bpp == 2 ? USHORT_IMG : BYTE_IMG, 2, axes, &status);
    if (status == 0) {
        // The header libindi writes, through the chip's file pointer, which only its upload
        // thread uses otherwise (under the same lock).
        exposureDuration = PrimaryCCD.getExposureDuration();
        std::strncpy(exposureStartTime, PrimaryCCD.getExposureStartTime(), MAXINDINAME - 1);
        fitsfile **slot = PrimaryCCD.fitsFilePointer();
        fitsfile *kept = std::exchange(*slot, file);
        addFITSKeywords(&PrimaryCCD);
        *slot = kept;
        fits_write_img(file, bpp == 2 ? TUSHORT : TBYTE, 1, pixels, PrimaryCCD.getFrameBuffer(), &status);
    }
    int closed = 0;
    if (file) fits_close_file(file, &closed);
    std::vector<unsigned char> bytes;
    if (status == 0 && closed == 0) {
        const auto *data = static_cast<const unsigned char *>(memory);
        bytes.assign(data, data + size);
    } else {
        char text[FLEN_STATUS];
        fits_get_errstatus(status ? status : closed, text);
        LOGF_ERROR("image not saved: FITS error %s", text);
    }
    std::free(memory);
    return bytes;
}

void CameraDevice::send_blob(std::vector<unsigned char> &bytes, const std::string &format) {
    INDI::PropertyBlob blob = getBLOB("CCD1");
    blob[0].setBlob(bytes.data());
    blob[0].setBlobLen(static_cast<int>(bytes.size()));
    blob[0].setSize(static_cast<int>(bytes.size()));
    blob[0].setFormat(format.c_str());
    blob.setState(IPS_OK);
    blob.apply();
    blob[0].setBlob(nullptr);           // the bytes move on to the worker
    blob[0].setBlobLen(0);
}

void CameraDevice::poll_saves() {
    if (!save_) return;
    const uploads::Save &save = *save_;
    const auto state = save.state();
    if (state == uploads::Save::State::Running && (save_reported_ || save.seconds() < kSaveDeadline)) {
        save_timer_.start(save_reported_ ? 500 : 20);
        return;
    }
    if (save_reported_) {        // the save given up on has ended at last: saves may start again
        save_.reset();
        return;
    }
    save_reported_ = true;
    // A newer exposure owns CCD_EXPOSURE by now: only its own outcome may change it.
    const bool owns_exposure = !exposing_;
    if (state == uploads::Save::State::Done) {
        const std::string path = save.result();
        IUSaveText(&FileNameT[0], path.c_str());
        FileNameTP.s = IPS_OK;
        IDSetText(&FileNameTP, nullptr);
        LOGF_INFO("Image saved to %s", path.c_str());
        if (owns_exposure) PrimaryCCD.setExposureComplete();
    } else {
        if (state == uploads::Save::State::Running) {
            save_->abandon();
            LOGF_ERROR("image not saved: %s did not answer in %.0f s", uploads::root().c_str(), kSaveDeadline);
        } else {
            LOGF_ERROR("image not saved: %s", save.result().c_str());
        }
        FileNameTP.s = IPS_ALERT;
        IDSetText(&FileNameTP, nullptr);
        if (owns_exposure) PrimaryCCD.setExposureFailed();
    }
    if (save_->state() == uploads::Save::State::Running)
        save_timer_.start(500);
    else
        save_.reset();
}

void CameraDevice::exposure_failed(const char *what, int code) {
    exposing_ = false;
    exposure_timer_.stop();
    if (code < 0)
        LOG_ERROR(what);
    else
        LOGF_ERROR("%s: %s", what, asi::describe(code));
    ASIStopExposure(id_);                                // leave the camera idle for the next one
    if (lost(code))
        hold_exposure(static_cast<float>(exposure_s_));
    else
        PrimaryCCD.setExposureFailed();
}

bool CameraDevice::hold_exposure(float duration) {
    exposure_held_ = true;
    held_duration_ = duration;
    held_at_ = std::chrono::steady_clock::now();
    PrimaryCCD.setExposureDuration(duration);
    LOGF_WARN("the exposure starts when %s is back (at most %.0f s from now)", name_.c_str(), kHeldExposureLimit);
    return true;
}

void CameraDevice::addFITSKeywords(INDI::CCDChip *chip) {
    INDI::CCD::addFITSKeywords(chip);
    fitsfile *fptr = *chip->fitsFilePointer();
    int status = 0;
    long gain = fits_gain_, offset = fits_offset_;
    const double egain = electrons_per_adu(info_.ElecPerADU, info_.BitDepth, fits_gain_, bytes_per_pixel() == 2,
                                           exposure_bin_);
    fits_update_key(fptr, TLONG, "GAIN", &gain, const_cast<char *>("Gain (camera units)"), &status);
    fits_update_key(fptr, TLONG, "OFFSET", &offset, const_cast<char *>("Offset (camera units)"), &status);
    fits_update_key_dbl(fptr, "EGAIN", egain, -10, "Electrons per ADU of this image's data", &status);
    if (!serial_.empty())
        fits_update_key(fptr, TSTRING, "CAMSER", const_cast<char *>(serial_.c_str()),
                        const_cast<char *>("Camera serial number"), &status);
    if (!gps_date_obs_.empty())
        fits_update_key(fptr, TSTRING, "DATE-OBS", const_cast<char *>(gps_date_obs_.c_str()),
                        const_cast<char *>("UTC exposure start, camera GPS"), &status);
    if (status) LOGF_ERROR("FITS keywords not written: cfitsio status %d", status);
}

// --- controls ----------------------------------------------------------------------

void CameraDevice::define_controls() {
    vector_controls_.clear();
    auto_controls_.clear();
    for (const asi::Control &c : controls_) {
        if (!c.writable || asi::has_own_property(c.type)) continue;
        vector_controls_.push_back(&c);
        if (c.can_auto) auto_controls_.push_back(&c);
    }
    // Gain and exposure have their own properties, but their automatic modes live here.
    for (int type : {ASI_GAIN, ASI_EXPOSURE})
        if (const asi::Control *c = asi::find(controls_, type); c && c->can_auto) auto_controls_.push_back(c);

    ControlsNP.resize(vector_controls_.size());
    for (std::size_t i = 0; i < vector_controls_.size(); ++i) {
        const asi::Control &c = *vector_controls_[i];
        ControlsNP[i].fill(c.name.c_str(), c.label.c_str(), "%.f", c.min, c.max, 1, read_control(c.type));
    }
    ControlModesSP.resize(auto_controls_.size());
    for (std::size_t i = 0; i < auto_controls_.size(); ++i) {
        bool is_auto = false;
        read_control(auto_controls_[i]->type, &is_auto);
        ControlModesSP[i].fill(("AUTO_" + auto_controls_[i]->name).c_str(), auto_controls_[i]->name.c_str(),
                               is_auto ? ISS_ON : ISS_OFF);
    }
}

bool CameraDevice::set_controls(double values[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        auto *w = ControlsNP.findWidgetByName(names[i]);
        if (w && (values[i] < w->getMin() || values[i] > w->getMax())) {
            ControlsNP.setState(IPS_ALERT);
            ControlsNP.apply("%s %g refused: the range is %g to %g", names[i], values[i], w->getMin(), w->getMax());
            return true;
        }
    }
    ControlsNP.update(values, names, n);
    int code = ASI_SUCCESS;
    std::string failed;
    for (std::size_t i = 0; i < vector_controls_.size(); ++i) {
        const asi::Control &c = *vector_controls_[i];
        bool is_auto = false;
        if (read_control(c.type, &is_auto) == std::lround(ControlsNP[i].getValue())) continue;
        int rc = ASISetControlValue(id_, c.type, std::lround(ControlsNP[i].getValue()), is_auto ? ASI_TRUE : ASI_FALSE);
        if (rc != ASI_SUCCESS) {
            code = rc;
            failed = c.name;
            ControlsNP[i].setValue(read_control(c.type));    // what the camera kept
        }
    }
    settle(ControlsNP, code, (failed + " not set").c_str());
    return true;
}

bool CameraDevice::set_control_modes(ISState *states, char *names[], int n) {
    ControlModesSP.update(states, names, n);
    int code = ASI_SUCCESS;
    for (std::size_t i = 0; i < auto_controls_.size(); ++i) {
        const asi::Control &c = *auto_controls_[i];
        const long value = read_control(c.type);
        int rc = ASISetControlValue(id_, c.type, value, ControlModesSP[i].getState() == ISS_ON ? ASI_TRUE : ASI_FALSE);
        if (rc != ASI_SUCCESS) code = rc;
    }
    settle(ControlModesSP, code, "automatic mode not set");
    return true;
}

bool CameraDevice::refuse_undefined(const char *name) {
    if (getProperty(name).isValid()) return false;
    // libindi keeps routing the properties of a disconnected camera here; nothing of them
    // exists until it connects again.
    if (isConnected())
        LOGF_WARN("%s refused: %s has no such property", name, name_.c_str());
    else
        LOGF_WARN("%s refused: %s is not connected", name, name_.c_str());
    return true;
}

bool CameraDevice::refuse_non_finite(const char *name, double values[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        if (std::isfinite(values[i])) continue;
        INDI::PropertyNumber p = getNumber(name);
        p.setState(IPS_ALERT);
        p.apply("%s refused: %s is %g, not a finite number", name, names[i], values[i]);
        return true;
    }
    return false;
}

bool CameraDevice::refuse_long_text(const char *name, char *texts[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        const std::size_t length = texts[i] ? std::strlen(texts[i]) : 0;
        if (length <= kMaxText) continue;
        INDI::PropertyText p = getText(name);
        p.setState(IPS_ALERT);
        p.apply("%s refused: %s is %zu characters long; the limit is %zu", name, names[i], length, kMaxText);
        return true;
    }
    return false;
}

bool CameraDevice::new_upload_settings(char *texts[], char *names[], int n) {
    for (int i = 0; i < n; ++i) {
        std::string relative, error;
        const std::string text = texts[i] ? texts[i] : "";
        const bool ok = std::strcmp(names[i], "UPLOAD_DIR") == 0      ? uploads::folder_below_root(text, relative, error)
                        : std::strcmp(names[i], "UPLOAD_PREFIX") == 0 ? uploads::plain_name(text, error)
                                                                      : true;
        if (!ok) {
            UploadSettingsTP.s = IPS_ALERT;
            IDSetText(&UploadSettingsTP, "%s refused: %s", names[i], error.c_str());
            return true;
        }
    }
    return false;       // the library stores them
}

bool CameraDevice::ISNewNumber(const char *dev, const char *name, double values[], char *names[], int n) {
    if (dev != nullptr && isDeviceNameMatch(dev)) {
        if (refuse_undefined(name) || refuse_non_finite(name, values, names, n) || refuse_while_lost(name)) return true;
        for (auto [property, type] : {std::pair{std::addressof(GainNP), ASI_GAIN}, std::pair{std::addressof(OffsetNP), ASI_OFFSET}}) {
            INDI::PropertyNumber &p = *property;
            if (!p.isNameMatch(name)) continue;
            if (n < 1 || values[0] < p[0].getMin() || values[0] > p[0].getMax()) {
                p.setState(IPS_ALERT);
                p.apply("%s %g refused: the range is %g to %g", p[0].getName(), n < 1 ? 0.0 : values[0],
                        p[0].getMin(), p[0].getMax());
                return true;
            }
            p.update(values, names, n);
            bool is_auto = false;
            read_control(type, &is_auto);
            int code = ASISetControlValue(id_, type, std::lround(p[0].getValue()), is_auto ? ASI_TRUE : ASI_FALSE);
            if (code != ASI_SUCCESS) p[0].setValue(read_control(type));     // what the camera kept
            settle(p, code, type == ASI_GAIN ? "gain not set" : "offset not set");
            return true;
        }
        if (ControlsNP.isNameMatch(name)) return set_controls(values, names, n);
        if (std::strcmp(name, "CCD_BINNING") == 0) return new_binning(values, names, n);
        if (std::strcmp(name, "CCD_FRAME") == 0) return new_frame(values, names, n);
    }
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool CameraDevice::ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[], int n) {
    if (dev != nullptr && isDeviceNameMatch(dev)) {
        if (refuse_undefined(name) || refuse_while_lost(name)) return true;
        if (std::strcmp(name, "CCD_FRAME_RESET") == 0) return reset_frame();
        if (CoolerSP.isNameMatch(name)) {
            CoolerSP.update(states, names, n);
            const bool on = CoolerSP[0].getState() == ISS_ON;
            int code = ASISetControlValue(id_, ASI_COOLER_ON, on ? 1 : 0, ASI_FALSE);
            settle(CoolerSP, code, "cooler not switched");
            if (code == ASI_SUCCESS) {
                CoolerSP.setState(on ? IPS_BUSY : IPS_IDLE);
                CoolerSP.apply();
            }
            return true;
        }
        if (ControlModesSP.isNameMatch(name)) return set_control_modes(states, names, n);
        if (sim_.handle(name, states, names, n)) return true;
    }
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool CameraDevice::ISNewText(const char *dev, const char *name, char *texts[], char *names[], int n) {
    if (dev != nullptr && isDeviceNameMatch(dev)) {
        if (refuse_undefined(name) || refuse_long_text(name, texts, names, n)) return true;
        if (std::strcmp(name, UploadSettingsTP.name) == 0 && new_upload_settings(texts, names, n)) return true;
        if (sim_.handle(name, texts, names, n)) return true;
    }
    return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool CameraDevice::saveConfigItems(FILE *fp) {
    INDI::CCD::saveConfigItems(fp);
    if (asi::find(controls_, ASI_GAIN)) GainNP.save(fp);
    if (asi::find(controls_, ASI_OFFSET)) OffsetNP.save(fp);
    if (ControlsNP.size() > 0) ControlsNP.save(fp);
    return true;
}

// --- cooling -----------------------------------------------------------------------

int CameraDevice::SetTemperature(double celsius) {
    if (lost_) {
        LOGF_ERROR("set point refused: %s is lost, waiting for it to come back", name_.c_str());
        return -1;
    }
    int code = ASISetControlValue(id_, ASI_TARGET_TEMP, std::lround(celsius), ASI_FALSE);
    if (code == ASI_SUCCESS) code = ASISetControlValue(id_, ASI_COOLER_ON, 1, ASI_FALSE);
    if (code != ASI_SUCCESS) {
        LOGF_ERROR("set point not applied: %s", asi::describe(code));
        lost(code);
        return -1;
    }
    set_point_ = celsius;
    CoolerSP[0].setState(ISS_ON);
    CoolerSP[1].setState(ISS_OFF);
    CoolerSP.setState(IPS_BUSY);
    CoolerSP.apply();
    return std::abs(celsius - TemperatureN[0].value) <= TemperatureRampNP[RAMP_THRESHOLD].getValue() ? 1 : 0;
}

// --- guiding -----------------------------------------------------------------------

IPState CameraDevice::pulse(ASI_GUIDE_DIRECTION direction, INDI_EQ_AXIS axis, uint32_t ms) {
    if (lost_) {
        LOGF_ERROR("guide pulse not started: %s is lost, waiting for it to come back", name_.c_str());
        return IPS_ALERT;
    }
    int code = guider_.start(id_, axis == AXIS_DE ? Guider::kDeclination : Guider::kRightAscension, direction, ms);
    if (code != ASI_SUCCESS) {
        LOGF_ERROR("guide pulse not started: %s", asi::describe(code));
        lost(code);
        return IPS_ALERT;
    }
    if (!guide_poll_.isActive()) guide_poll_.start(10);
    return IPS_BUSY;
}

// The guider's thread ends the pulses on time; the loop reports them when it can.
void CameraDevice::report_pulses() {
    for (const Guider::Ended &ended : guider_.take_ended()) {
        const INDI_EQ_AXIS axis = ended.axis == Guider::kDeclination ? AXIS_DE : AXIS_RA;
        if (ended.code == ASI_SUCCESS) {
            GuideComplete(axis);
            continue;
        }
        LOGF_ERROR("guide pulse not ended: %s", asi::describe(ended.code));
        // Looked up each time: a camera lost meanwhile has none.
        if (INumberVectorProperty *p = getNumber(axis == AXIS_DE ? "TELESCOPE_TIMED_GUIDE_NS" : "TELESCOPE_TIMED_GUIDE_WE")) {
            p->s = IPS_ALERT;
            IDSetNumber(p, nullptr);
        }
        lost(ended.code);
    }
    if (guider_.running()) guide_poll_.start(10);
}

void CameraDevice::end_pulses(const char *why) {
    for (Guider::Axis axis : guider_.stop_all()) {
        if (INumberVectorProperty *p = getNumber(axis == Guider::kDeclination ? "TELESCOPE_TIMED_GUIDE_NS"
                                                                              : "TELESCOPE_TIMED_GUIDE_WE")) {
            p->s = IPS_ALERT;
            IDSetNumber(p, "guide pulse ended early: %s", why);
        }
    }
}

IPState CameraDevice::GuideNorth(uint32_t ms) { return pulse(ASI_GUIDE_NORTH, AXIS_DE, ms); }
IPState CameraDevice::GuideSouth(uint32_t ms) { return pulse(ASI_GUIDE_SOUTH, AXIS_DE, ms); }
IPState CameraDevice::GuideEast(uint32_t ms) { return pulse(ASI_GUIDE_EAST, AXIS_RA, ms); }
IPState CameraDevice::GuideWest(uint32_t ms) { return pulse(ASI_GUIDE_WEST, AXIS_RA, ms); }

// --- video -------------------------------------------------------------------------

bool CameraDevice::StartStreaming() {
    if (lost_) {
        LOGF_ERROR("stream not started: %s is lost, waiting for it to come back", name_.c_str());
        return false;
    }
    if (exposing_) {
        LOG_ERROR("stream not started: an exposure is running");
        return false;
    }
    apply_pending();
    roi::Rect want;
    roi::Plan plan;
    resolve(wanted(), PrimaryCCD.getBinX(), want, plan);
    const double exposure = Streamer->getTargetExposure();
    int code = apply_region(plan);
    if (code == ASI_SUCCESS) code = ASISetControlValue(id_, ASI_EXPOSURE, std::lround(exposure * 1e6), ASI_FALSE);
    Streamer->setSize(want.width, want.height);
    if (code == ASI_SUCCESS)
        code = pump_.start(id_, plan, want, bytes_per_pixel(), binning(), exposure,
                           [this](const unsigned char *data, std::size_t size) {
                               Streamer->newFrame(data, static_cast<uint32_t>(size));
                           });
    if (code != ASI_SUCCESS) {
        LOGF_ERROR("stream not started: %s", asi::describe(code));
        lost(code);
        return false;
    }
    return true;
}

bool CameraDevice::StopStreaming() {
    pump_.stop();
    return true;
}

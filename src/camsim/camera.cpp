#include "camera.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "bmp.hpp"

namespace camsim {
namespace {

using std::chrono::system_clock;

constexpr double kUsb3BytesPerSecond = 350e6;
constexpr double kUsb2BytesPerSecond = 40e6;
constexpr double kLineTimeUs = 10.0;  // readout time of one sensor line
constexpr long kMaxTriggerTimeUs = 2000000000L;
constexpr double kCornerIllumination = 0.8;  // the simulated optics' light in the corners vs the centre

template <class T>
void put(T* p, const std::type_identity_t<T>& v) {
    if (p) *p = v;
}

Video::Trigger trigger_kind(ASI_CAMERA_MODE mode) {
    switch (mode) {
    case ASI_MODE_TRIG_SOFT_EDGE:
    case ASI_MODE_TRIG_RISE_EDGE:
    case ASI_MODE_TRIG_FALL_EDGE:
        return Video::Trigger::Edge;
    case ASI_MODE_TRIG_SOFT_LEVEL:
    case ASI_MODE_TRIG_HIGH_LEVEL:
    case ASI_MODE_TRIG_LOW_LEVEL:
        return Video::Trigger::Level;
    default:
        return Video::Trigger::Free;
    }
}

ASI_CONTROL_CAPS caps_record(const ControlDef& c) {
    ASI_CONTROL_CAPS caps{};
    std::strncpy(caps.Name, c.name.c_str(), sizeof(caps.Name) - 1);
    std::strncpy(caps.Description, c.description.c_str(), sizeof(caps.Description) - 1);
    caps.MaxValue = c.max;
    caps.MinValue = c.min;
    caps.DefaultValue = c.def;
    caps.IsAutoSupported = c.auto_supported ? ASI_TRUE : ASI_FALSE;
    caps.IsWritable = c.writable ? ASI_TRUE : ASI_FALSE;
    caps.ControlType = c.type;
    return caps;
}

}  // namespace

// --- snapshot rendering -------------------------------------------------------

Snapshot::Snapshot(FrameSource& source, Shot shot, Glitch glitch)
    : source_(source), shot_(std::move(shot)), glitch_(glitch) {
    thread_ = std::thread([this] {
        try {
            pixels_.resize(frame_bytes(shot_.req));
            source_.render(shot_.req, pixels_.data());
            damage();
            state_.store(State::Done, std::memory_order_release);
        } catch (...) {  // out of memory for the frame: the exposure fails
            state_.store(State::Failed, std::memory_order_release);
        }
    });
}

Snapshot::~Snapshot() {
    if (thread_.joinable()) thread_.join();
}

// Whole pixels move, by an even count so that a Bayer mosaic keeps its colours.
static void damage_rows(std::uint8_t* data, std::size_t bytes, int width, int height, const Snapshot::Glitch& g) {
    if (g.rows <= 0 || height <= 0 || width <= 0) return;
    const std::size_t row = bytes / static_cast<std::size_t>(height);
    const std::size_t pixel = row / static_cast<std::size_t>(width);
    const std::size_t shift = static_cast<std::size_t>(width / 3 & ~1) * pixel;
    if (row == 0) return;
    for (int y = g.first; y < g.first + g.rows && y < height; ++y) {
        std::uint8_t* p = data + static_cast<std::size_t>(y) * row;
        if (g.zero)
            std::memset(p, 0, row);
        else
            std::rotate(p, p + (row - shift) % row, p + row);
    }
}

void Snapshot::damage() {
    damage_rows(pixels_.data(), pixels_.size(), shot_.req.width, shot_.req.height, glitch_);
}

void Snapshot::orphan() {
    if (thread_.joinable()) new std::thread(std::move(thread_));  // leaked: joining would wait forever
    if (state() == State::Rendering) state_.store(State::Failed, std::memory_order_release);
}

Camera::Camera(const Model& model, int index)
    : model_(model),
      index_(index),
      info_(model.info(index)),
      roi_{model.width, model.height, 1, ASI_IMG_RAW8, 0, 0},
      thermal_(sim_seconds()),
      motion_(model.pixel_um, real_seconds()) {
    for (const ControlDef& c : model_.controls) {
        caps_.push_back(caps_record(c));
        controls_[c.type] = {c.def, false};
    }
    const auto [dx, dy] = drift_by_default();
    motion_.set_drift(dx, dy, real_seconds());
    motion_.set_rotation(rotation_by_default(), real_seconds());
    std::copy(model_.serial_base.begin(), model_.serial_base.end(), serial_.id);
    serial_.id[7] = static_cast<unsigned char>(serial_.id[7] + index_ + 1);  // distinct per camera
    char hex[3];
    for (unsigned char b : serial_.id) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        serial_text_ += hex;
    }
}

Camera::~Camera() { shutdown(); }

void Camera::shutdown() { close(); }

// --- state guards -------------------------------------------------------------

int Camera::refuse_unless_open() const { return open_ ? ASI_SUCCESS : ASI_ERROR_CAMERA_CLOSED; }

bool Camera::capturing() const { return video_ || exposure_.status == ASI_EXP_WORKING; }

// Done when the exposure time has passed and its pixels are rendered.
void Camera::update_exposure() {
    if (exposure_.status != ASI_EXP_WORKING || !exposure_.snapshot) return;
    Snapshot::State state = exposure_.snapshot->state();
    if (state == Snapshot::State::Failed)
        end_exposure(ASI_EXP_FAILED);
    else if (state == Snapshot::State::Done && std::chrono::steady_clock::now() >= exposure_.end)
        end_exposure(exposure_.fails ? ASI_EXP_FAILED : ASI_EXP_SUCCESS);
}

// A failed exposure has ended here; a good one ends when its frame is fetched.
void Camera::end_exposure(ASI_EXPOSURE_STATUS status) {
    exposure_.status = status;
    if (status == ASI_EXP_FAILED) ended_.fetch_add(1, std::memory_order_acq_rel);
}

void Camera::update_thermal() {
    thermal_.advance(sim_seconds(), model_.cooler && value(ASI_COOLER_ON) != 0,
                     static_cast<double>(value(ASI_TARGET_TEMP)));
}

long Camera::value(int type, long fallback) const {
    return model_.control(type) ? controls_[type].value : fallback;
}

std::shared_ptr<Video> Camera::take_video() { return std::exchange(video_, nullptr); }
std::shared_ptr<Snapshot> Camera::take_snapshot() { return std::exchange(exposure_.snapshot, nullptr); }

void Camera::forget_threads_after_fork() {
    // Deliberately leaked: their locks and condition variables may name threads of the parent.
    if (video_) new std::shared_ptr<Video>(take_video());
    if (exposure_.snapshot) {
        exposure_.snapshot->orphan();
        update_exposure();
        // An exposure still running is lost with the parent's timing; a finished one stays fetchable.
        if (exposure_.status == ASI_EXP_WORKING) {
            end_exposure(ASI_EXP_FAILED);
            new std::shared_ptr<Snapshot>(take_snapshot());
        }
    }
    (void)render_.release();  // a parent thread may have been rendering with its lock held
    render_ = std::make_unique<RenderState>();
}

// --- identity -----------------------------------------------------------------

int Camera::property(ASI_CAMERA_INFO* out) const {
    std::lock_guard lk(mu_);
    put(out, info_);
    return ASI_SUCCESS;
}

// Refused while another process has the camera: ASIOpenCamera's "failed to open".
int Camera::open() {
    std::lock_guard lk(mu_);
    if (open_) return ASI_SUCCESS;
    switch (claim_.take(serial_text_, nullptr)) {
    case machine::Claim::Busy:
        return ASI_ERROR_CAMERA_CLOSED;
    case machine::Claim::Taken:
        adopt_machine_state();
        break;
    case machine::Claim::NoFolder:
        break;
    }
    open_ = true;
    return ASI_SUCCESS;
}

int Camera::init() {
    return when_open([&]() -> int {
        initialised_ = true;
        return ASI_SUCCESS;
    });
}

int Camera::close() {
    std::shared_ptr<Video> video;
    std::shared_ptr<Snapshot> snapshot;  // waited for outside the lock, after it
    {
        std::lock_guard lk(mu_);
        if (!open_) return ASI_SUCCESS;
        video = take_video();
        snapshot = take_snapshot();
        open_ = false;
        initialised_ = false;
        exposure_ = {};
        motion_.all_off(real_seconds());
        save_machine_state();
        claim_.release();
    }
    if (video) video->stop();  // outside the lock: the producer takes it for each frame
    return ASI_SUCCESS;
}

int Camera::get_id(ASI_ID* out) const {
    return when_open([&]() -> int {
        put(out, flash_id_);
        return ASI_SUCCESS;
    });
}

int Camera::set_id(const ASI_ID& id) {
    return when_open([&]() -> int {
        flash_id_ = id;
        return ASI_SUCCESS;
    });
}

int Camera::serial(ASI_SN* out) const {
    return when_open([&]() -> int {
        put(out, serial_);
        return ASI_SUCCESS;
    });
}

// --- controls -----------------------------------------------------------------

int Camera::num_controls(int* out) const {
    return when_open([&]() -> int {
        put(out, static_cast<int>(caps_.size()));
        return ASI_SUCCESS;
    });
}

int Camera::control_caps(int index, ASI_CONTROL_CAPS* out) const {
    return when_open([&]() -> int {
        if (index < 0 || index >= static_cast<int>(caps_.size())) return ASI_ERROR_INVALID_INDEX;
        put(out, caps_[index]);
        return ASI_SUCCESS;
    });
}

int Camera::get_control(int type, long* value, ASI_BOOL* is_auto) {
    return when_open([&]() -> int {
        if (!model_.control(type)) return ASI_ERROR_INVALID_CONTROL_TYPE;
        long v = controls_[type].value;
        if (type == ASI_TEMPERATURE || type == ASI_COOLER_POWER_PERC) {
            update_thermal();
            v = type == ASI_TEMPERATURE ? std::lround(thermal_.temperature() * 10.0) : thermal_.power_percent();
        }
        put(value, v);
        put(is_auto, controls_[type].is_auto ? ASI_TRUE : ASI_FALSE);
        return ASI_SUCCESS;
    });
}

int Camera::set_control(int type, long value, ASI_BOOL is_auto) {
    return when_open([&]() -> int {
        const ControlDef* def = model_.control(type);
        if (!def) return ASI_ERROR_INVALID_CONTROL_TYPE;
        if (!def->writable) return ASI_ERROR_GENERAL_ERROR;
        bool cooler = type == ASI_COOLER_ON || type == ASI_TARGET_TEMP;
        if (cooler) update_thermal();  // the past ran on the old settings
        controls_[type] = {std::clamp(value, def->min, def->max), def->auto_supported && is_auto != ASI_FALSE};
        if (cooler) save_machine_state();
        return ASI_SUCCESS;
    });
}

// --- region of interest -------------------------------------------------------

int Camera::set_roi(int width, int height, int bin, int img_type) {
    return when_open([&]() -> int {
        if (video_) return ASI_ERROR_INVALID_SEQUENCE;
        if (!model_.has_bin(bin) || !model_.has_format(img_type)) return ASI_ERROR_INVALID_IMGTYPE;
        if (width <= 0 || height <= 0 || width % 8 != 0 || height % 2 != 0) return ASI_ERROR_INVALID_SIZE;
        if (long(width) * bin > model_.width || long(height) * bin > model_.height) return ASI_ERROR_INVALID_SIZE;
        roi_ = {width, height, bin, img_type, (model_.width / bin - width) / 2, (model_.height / bin - height) / 2};
        return ASI_SUCCESS;
    });
}

int Camera::get_roi(int* width, int* height, int* bin, ASI_IMG_TYPE* img_type) const {
    return when_open([&]() -> int {
        put(width, roi_.width);
        put(height, roi_.height);
        put(bin, roi_.bin);
        put(img_type, roi_.img_type);
        return ASI_SUCCESS;
    });
}

int Camera::set_start(int x, int y) {
    return when_open([&]() -> int {
        if (x < 0 || y < 0 || long(x) + roi_.width > model_.width / roi_.bin ||
            long(y) + roi_.height > model_.height / roi_.bin)
            return ASI_ERROR_OUTOF_BOUNDARY;
        roi_.start_x = x;
        roi_.start_y = y;
        return ASI_SUCCESS;
    });
}

int Camera::get_start(int* x, int* y) const {
    return when_open([&]() -> int {
        put(x, roi_.start_x);
        put(y, roi_.start_y);
        return ASI_SUCCESS;
    });
}

// --- frames -------------------------------------------------------------------

Shot Camera::shot_locked(long exposure_us, bool dark) {
    Shot s;
    RenderRequest& r = s.req;
    r.sensor_width = model_.width;
    r.sensor_height = model_.height;
    r.bit_depth = model_.bit_depth;
    r.color = model_.color;
    r.bayer_pattern = model_.bayer;
    r.pixel_size_um = model_.pixel_um;
    r.elec_per_adu = model_.elec_per_adu;
    r.full_well_e = model_.full_well_e;
    r.max_gain = static_cast<int>(model_.control(ASI_GAIN)->max);
    r.start_x = roi_.start_x;
    r.start_y = roi_.start_y;
    r.width = roi_.width;
    r.height = roi_.height;
    r.bin = roi_.bin;
    r.img_type = roi_.img_type;
    r.exposure_us = exposure_us >= 0 ? exposure_us : value(ASI_EXPOSURE, 10000);
    r.gain = value(ASI_GAIN);
    r.offset = value(ASI_OFFSET);
    r.gamma = value(ASI_GAMMA, 50);
    r.wb_r = value(ASI_WB_R, 52);
    r.wb_b = value(ASI_WB_B, 95);
    r.flip = static_cast<int>(value(ASI_FLIP));
    r.dark = dark;
    r.panel_rate = panel_rate_;
    r.panel_flicker = panel_flicker_;
    r.corner_illumination = kCornerIllumination;
    update_thermal();
    r.temperature_c = thermal_.temperature();
    const double now = real_seconds();
    std::tie(r.shift_x, r.shift_y) = motion_.shift(now);
    r.rotation_deg = motion_.angle(now);
    last_pose_ = {r.shift_x, r.shift_y, r.rotation_deg};
    r.defocus_fwhm = defocus_fwhm_;
    r.transparency = transparency_;
    r.seed = seed();
    r.frame_index = frame_index_++;
    s.dark = dark_;
    r.dark_frame = dark_ ? dark_->data() : nullptr;

    double bandwidth = (model_.usb3 ? kUsb3BytesPerSecond : kUsb2BytesPerSecond) *
                       static_cast<double>(value(ASI_BANDWIDTHOVERLOAD, 100)) / 100.0;
    s.period_s = std::max(static_cast<double>(r.exposure_us) / 1e6,
                          static_cast<double>(frame_bytes(r)) / bandwidth);
    return s;
}

// Frames of the GPS model carry the exposure start; the camera keeps the last frame's records.
void Camera::stamp_gps(Shot& shot, system_clock::time_point start) {
    if (!model_.gps || !gps_.fix) return;
    shot.gps = gps_record(start, gps_);
    last_gps_ = {shot.gps, gps_end_record(start)};
    have_last_gps_ = true;
}

ASI_GPS_DATA Camera::gps_end_record(system_clock::time_point start) const {
    long lines = std::labs(value(ASI_GPS_END_LINE) - value(ASI_GPS_START_LINE));
    auto readout = std::chrono::microseconds(static_cast<long>(static_cast<double>(lines) * kLineTimeUs));
    return gps_record(start + readout, gps_);
}

void Camera::render(const RenderRequest& req, std::uint8_t* out) {
    RenderState& r = *render_;
    std::lock_guard lk(r.mu);
    r.renderer.render(req, out);
}

std::optional<Shot> Camera::begin_shot(const Video& capture, long exposure_us, system_clock::time_point start) {
    std::lock_guard lk(mu_);
    if (video_.get() != &capture) return std::nullopt;
    Shot shot = shot_locked(exposure_us, false);
    stamp_gps(shot, start);
    return shot;
}

// --- snapshot exposure --------------------------------------------------------
// Capture needs ASIInitCamera after ASIOpenCamera, as with the vendor's cameras.

int Camera::start_exposure(bool dark) {
    std::shared_ptr<Snapshot> previous;  // an unfetched frame, released after the lock
    return when_open([&]() -> int {
        if (!initialised_) return ASI_ERROR_GENERAL_ERROR;
        if (video_) return ASI_ERROR_VIDEO_MODE_ACTIVE;
        update_exposure();
        if (exposure_.status == ASI_EXP_WORKING) return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        auto now = std::chrono::steady_clock::now();
        Shot shot = shot_locked(-1, dark);
        stamp_gps(shot, system_clock::now());
        previous = take_snapshot();
        exposure_ = {};
        exposure_.end = now + std::chrono::microseconds(shot.req.exposure_us);
        Snapshot::Glitch glitch = plan_exposure(++started_, shot.req, &exposure_.end, &exposure_.fails);
        exposure_.snapshot = std::make_shared<Snapshot>(*this, std::move(shot), glitch);
        exposure_.status = ASI_EXP_WORKING;
        return ASI_SUCCESS;
    });
}

int Camera::stop_exposure() {
    std::shared_ptr<Snapshot> stopped;  // its render is waited for after the lock
    return when_open([&]() -> int {
        update_exposure();
        if (exposure_.status == ASI_EXP_WORKING) {
            end_exposure(ASI_EXP_FAILED);
            stopped = take_snapshot();
        }
        return ASI_SUCCESS;
    });
}

int Camera::exposure_status(ASI_EXPOSURE_STATUS* out) {
    return when_open([&]() -> int {
        update_exposure();
        put(out, exposure_.status);
        return ASI_SUCCESS;
    });
}

int Camera::data_after_exposure(std::uint8_t* buf, long size, ASI_GPS_DATA* gps) {
    std::shared_ptr<Snapshot> snapshot;
    {
        std::lock_guard lk(mu_);
        if (int e = refuse_unless_open()) return e;
        update_exposure();
        if (exposure_.status != ASI_EXP_SUCCESS || !exposure_.snapshot) return ASI_ERROR_GENERAL_ERROR;
        if (size < 0 || static_cast<std::size_t>(size) < exposure_.snapshot->pixels().size())
            return ASI_ERROR_BUFFER_TOO_SMALL;
        if (!buf) return ASI_ERROR_GENERAL_ERROR;
        snapshot = take_snapshot();
        exposure_ = {};
        ended_.fetch_add(1, std::memory_order_acq_rel);
    }
    // Rendered already; the copy runs outside the camera lock.
    std::memcpy(buf, snapshot->pixels().data(), snapshot->pixels().size());
    put(gps, snapshot->shot().gps);
    return ASI_SUCCESS;
}

// --- video --------------------------------------------------------------------

int Camera::start_video() {
    return when_open([&]() -> int {
        if (!initialised_) return ASI_ERROR_GENERAL_ERROR;
        update_exposure();
        if (exposure_.status == ASI_EXP_WORKING) return ASI_ERROR_EXPOSURE_IN_PROGRESS;
        if (video_) return ASI_SUCCESS;
        RenderRequest shape;
        shape.width = roi_.width;
        shape.height = roi_.height;
        shape.img_type = roi_.img_type;
        video_ = std::make_shared<Video>(*this, frame_bytes(shape), trigger_kind(mode_));
        return ASI_SUCCESS;
    });
}

int Camera::stop_video() {
    std::shared_ptr<Video> video;
    {
        std::lock_guard lk(mu_);
        if (int e = refuse_unless_open()) return e;
        video = take_video();  // from here its producer starts no other shot
    }
    if (video) video->stop();
    return ASI_SUCCESS;
}

int Camera::video_data(std::uint8_t* buf, long size, int wait_ms, ASI_GPS_DATA* gps) {
    std::shared_ptr<Video> video;
    double now = real_seconds(), until = 0.0;
    {
        std::lock_guard lk(mu_);
        if (int e = refuse_unless_open()) return e;
        if (!video_) return ASI_ERROR_INVALID_SEQUENCE;
        if (size < 0 || static_cast<std::size_t>(size) < video_->frame_bytes()) return ASI_ERROR_BUFFER_TOO_SMALL;
        if (!buf) return ASI_ERROR_GENERAL_ERROR;
        video = video_;
        until = blackout_until(now);
    }
    // Waits without the camera lock. In a video timeout no frame comes until it ends.
    int code = ASI_ERROR_TIMEOUT;
    if (until > now) {
        double dark_s = until - now;
        if (wait_ms >= 0 && wait_ms / 1000.0 <= dark_s) {
            video->pause(wait_ms / 1000.0);
        } else if (video->pause(dark_s)) {
            int left = wait_ms < 0 ? -1 : std::max(0, static_cast<int>(wait_ms - dark_s * 1000.0));
            code = video->fetch(buf, left, gps);
        }
    } else {
        code = video->fetch(buf, wait_ms, gps);
    }
    if (removed()) return ASI_ERROR_CAMERA_REMOVED;  // it left the bus while this call waited
    if (code == ASI_SUCCESS) {
        std::lock_guard lk(mu_);
        ++video_frames_;
        blackout_until(real_seconds());  // an after= timeout may start with this frame
        Snapshot::Glitch glitch = plan_video_frame(video_frames_, roi_.height);
        damage_rows(buf, video->frame_bytes(), roi_.width, roi_.height, glitch);
    }
    return code;
}

int Camera::dropped_frames(int* out) const {
    return when_open([&]() -> int {
        put(out, video_ ? video_->dropped() : 0);
        return ASI_SUCCESS;
    });
}

// --- trigger modes ------------------------------------------------------------

int Camera::support_modes(ASI_SUPPORTED_MODE* out) const {
    return when_open([&]() -> int {
        ASI_SUPPORTED_MODE m{};
        auto modes = model_.modes();
        std::copy(modes.begin(), modes.end(), m.SupportedCameraMode);
        m.SupportedCameraMode[modes.size()] = ASI_MODE_END;
        put(out, m);
        return ASI_SUCCESS;
    });
}

int Camera::get_mode(ASI_CAMERA_MODE* out) const {
    return when_open([&]() -> int {
        put(out, mode_);
        return ASI_SUCCESS;
    });
}

int Camera::set_mode(int mode) {
    return when_open([&]() -> int {
        update_exposure();
        if (capturing()) return ASI_ERROR_INVALID_SEQUENCE;
        auto modes = model_.modes();
        if (std::find(modes.begin(), modes.end(), mode) == modes.end()) return ASI_ERROR_INVALID_MODE;
        mode_ = mode;
        return ASI_SUCCESS;
    });
}

// Only the soft modes take soft triggers; when no capture runs the trigger is lost.
int Camera::soft_trigger(bool start) {
    return when_open([&]() -> int {
        if (mode_ != ASI_MODE_TRIG_SOFT_EDGE && mode_ != ASI_MODE_TRIG_SOFT_LEVEL) return ASI_ERROR_INVALID_MODE;
        if (!video_) return ASI_SUCCESS;
        if (mode_ == ASI_MODE_TRIG_SOFT_LEVEL)
            video_->level(start);
        else if (start)
            video_->edge();
        return ASI_SUCCESS;
    });
}

// Hardware modes react to transitions of the input line, which idles low.
void Camera::trigger_input(int level) {
    std::lock_guard lk(mu_);
    bool high = level != 0, was_high = input_level_ != 0;
    input_level_ = high;
    if (!video_ || high == was_high) return;
    switch (mode_) {
    case ASI_MODE_TRIG_RISE_EDGE: if (high) video_->edge(); break;
    case ASI_MODE_TRIG_FALL_EDGE: if (!high) video_->edge(); break;
    case ASI_MODE_TRIG_HIGH_LEVEL: video_->level(high); break;
    case ASI_MODE_TRIG_LOW_LEVEL: video_->level(!high); break;
    default: break;
    }
}

int Camera::set_trigger_output(int pin, bool high, long delay, long duration) {
    return when_open([&]() -> int {
        if (!model_.trigger || (pin != ASI_TRIG_OUTPUT_PINA && pin != ASI_TRIG_OUTPUT_PINB))
            return ASI_ERROR_GENERAL_ERROR;
        if (delay < 0 || delay > kMaxTriggerTimeUs || duration < 0 || duration > kMaxTriggerTimeUs)
            return ASI_ERROR_GENERAL_ERROR;
        trigger_out_[pin] = {high, delay, duration};
        return ASI_SUCCESS;
    });
}

int Camera::get_trigger_output(int pin, ASI_BOOL* high, long* delay, long* duration) const {
    return when_open([&]() -> int {
        if (!model_.trigger || (pin != ASI_TRIG_OUTPUT_PINA && pin != ASI_TRIG_OUTPUT_PINB))
            return ASI_ERROR_GENERAL_ERROR;
        const TriggerOutput& t = trigger_out_[pin];
        put(high, t.high ? ASI_TRUE : ASI_FALSE);
        put(delay, t.delay);
        put(duration, t.duration);
        return ASI_SUCCESS;
    });
}

// --- guiding, dark, presets, GPS ----------------------------------------------

int Camera::pulse_guide(int direction, bool on) {
    return when_open([&]() -> int {
        if (!model_.st4 || direction < ASI_GUIDE_NORTH || direction > ASI_GUIDE_WEST) return ASI_ERROR_GENERAL_ERROR;
        motion_.pulse(direction, on, real_seconds());
        return ASI_SUCCESS;
    });
}

int Camera::enable_dark(const char* path) {
    return when_open([&]() -> int {
        if (!path) return ASI_ERROR_INVALID_PATH;
        auto dark = std::make_shared<std::vector<std::uint8_t>>();
        if (int e = load_dark_bmp(path, model_.width, model_.height, *dark)) return e;
        dark_ = std::move(dark);
        return ASI_SUCCESS;
    });
}

int Camera::disable_dark() {
    return when_open([&]() -> int {
        dark_.reset();
        return ASI_SUCCESS;
    });
}

int Camera::gain_offset(int* offset_highest_dr, int* offset_unity_gain, int* gain_lowest_rn,
                        int* offset_lowest_rn) const {
    std::lock_guard lk(mu_);
    if (int e = refuse_unless_open()) return e;
    const GainPresets& p = model_.presets;
    put(offset_highest_dr, p.offset_highest_dr);
    put(offset_unity_gain, p.offset_unity_gain);
    put(gain_lowest_rn, p.gain_lowest_rn);
    put(offset_lowest_rn, p.offset_lowest_rn);
    return ASI_SUCCESS;
}

int Camera::lmh_gain_offset(int* low_gain, int* medium_gain, int* high_gain, int* high_offset) const {
    return when_open([&]() -> int {
        const GainPresets& p = model_.presets;
        put(low_gain, p.low_gain);
        put(medium_gain, p.medium_gain);
        put(high_gain, p.high_gain);
        put(high_offset, p.high_offset);
        return ASI_SUCCESS;
    });
}

// Before the first frame the receiver reports the current time.
int Camera::gps_data(ASI_GPS_DATA* start, ASI_GPS_DATA* end) {
    return when_open([&]() -> int {
        if (!model_.gps) return ASI_ERROR_GPS_NOT_SUPPORTED;
        if (!gps_.fix) return ASI_ERROR_GPS_DATA_INVALID;
        if (!have_last_gps_) {
            auto now = system_clock::now();
            put(start, gps_record(now, gps_));
            put(end, gps_end_record(now));
            return ASI_SUCCESS;
        }
        put(start, last_gps_[0]);
        put(end, last_gps_[1]);
        return ASI_SUCCESS;
    });
}

// --- test controls ------------------------------------------------------------

ASI_CAMERA_INFO Camera::camera_info() const {
    std::lock_guard lk(mu_);
    return info_;
}

void Camera::patch_camera_info(const ASI_CAMERA_INFO& info) {
    std::lock_guard lk(mu_);
    info_ = info;
}

bool Camera::control_caps_record(int index, ASI_CONTROL_CAPS* out) const {
    std::lock_guard lk(mu_);
    if (index < 0 || index >= static_cast<int>(caps_.size())) return false;
    *out = caps_[index];
    return true;
}

bool Camera::patch_control_caps(int index, const ASI_CONTROL_CAPS& caps) {
    std::lock_guard lk(mu_);
    if (index < 0 || index >= static_cast<int>(caps_.size())) return false;
    caps_[index] = caps;
    return true;
}

void Camera::set_gps_fix(bool on) {
    std::lock_guard lk(mu_);
    gps_.fix = on;
}

void Camera::set_gps_position(double lat, double lon, int alt_m) {
    std::lock_guard lk(mu_);
    gps_.latitude = lat;
    gps_.longitude = lon;
    gps_.altitude_m = alt_m;
}

void Camera::set_focal_length(double mm) {
    std::lock_guard lk(mu_);
    motion_.set_focal_length(mm, real_seconds());
}

void Camera::set_light_panel(double electrons_per_second) {
    std::lock_guard lk(mu_);
    panel_rate_ = electrons_per_second;
}

void Camera::set_drift(double dx, double dy) {
    std::lock_guard lk(mu_);
    motion_.set_drift(dx, dy, real_seconds());
}

void Camera::set_rotation(double deg_per_s) {
    std::lock_guard lk(mu_);
    motion_.set_rotation(deg_per_s, real_seconds());
}

void Camera::set_panel_flicker(double relative) {
    std::lock_guard lk(mu_);
    panel_flicker_ = relative;
}

Camera::FieldPose Camera::field_pose(bool last_frame) const {
    std::lock_guard lk(mu_);
    if (last_frame) return last_pose_;
    const double now = real_seconds();
    const auto [dx, dy] = motion_.shift(now);
    return {dx, dy, motion_.angle(now)};
}

SensorTruth Camera::sensor_truth(long gain) {
    RenderRequest r;
    std::lock_guard lk(mu_);
    r.bit_depth = model_.bit_depth;
    r.elec_per_adu = model_.elec_per_adu;
    r.full_well_e = model_.full_well_e;
    r.gain = gain;
    r.offset = value(ASI_OFFSET);   // the bias decides where the ADC's top clips
    update_thermal();
    r.temperature_c = thermal_.temperature();
    return camsim::sensor_truth(r);
}

void Camera::set_defocus(double fwhm_px) {
    std::lock_guard lk(mu_);
    defocus_fwhm_ = fwhm_px;
}

void Camera::set_transparency(double fraction) {
    std::lock_guard lk(mu_);
    transparency_ = fraction;
}

std::pair<double, double> Camera::star_shift() const {
    std::lock_guard lk(mu_);
    return motion_.shift(real_seconds());
}

double Camera::sensor_temperature() {
    std::lock_guard lk(mu_);
    update_thermal();
    return thermal_.temperature();
}

int Camera::write_dark_bmp(const char* path, long exposure_us) {
    if (!path) return ASI_ERROR_INVALID_PATH;
    Shot shot;
    {
        std::lock_guard lk(mu_);
        shot = shot_locked(exposure_us, true);
    }
    RenderRequest& r = shot.req;
    r.start_x = r.start_y = 0;
    r.width = model_.width;
    r.height = model_.height;
    r.bin = 1;
    r.img_type = ASI_IMG_RAW8;
    r.flip = ASI_FLIP_NONE;  // a dark is in sensor orientation
    r.dark_frame = nullptr;
    std::vector<std::uint8_t> pixels(frame_bytes(r));
    render(r, pixels.data());
    return write_grey_bmp(path, model_.width, model_.height, pixels.data()) ? ASI_SUCCESS : ASI_ERROR_INVALID_PATH;
}

}  // namespace camsim

// --- faults ---------------------------------------------------------------------

namespace camsim {
namespace {

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

}  // namespace

void Camera::set_faults(std::vector<Fault> rules, std::uint64_t seed, double origin) {
    std::lock_guard lk(mu_);
    faults_ = std::move(rules);
    fault_seed_ = seed;
    fault_origin_ = origin;
    blackouts_.clear();
    for (const Fault& f : faults_)
        if (f.kind == Fault::Kind::VideoTimeout)
            blackouts_.push_back({&f, f.at ? std::optional<double>(origin + *f.at) : std::nullopt});
}

// The fate of the exposure `number`: fails, hangs past `end`, or comes back glitched.
Snapshot::Glitch Camera::plan_exposure(long number, const RenderRequest& req, SteadyTime* end, bool* fails) {
    Snapshot::Glitch glitch;
    FaultLog& log = FaultLog::get();
    const std::string which = "exposure " + std::to_string(number);
    for (const Fault& f : faults_) {
        if (f.kind == Fault::Kind::Unplug || f.kind == Fault::Kind::VideoTimeout) continue;
        if (!picks(f, fault_seed_, number)) continue;
        if (f.kind == Fault::Kind::Fail) {
            *fails = true;
            log.add(index_, which + " fails");
        } else if (f.kind == Fault::Kind::Hang) {
            if (!f.duration)
                *end = SteadyTime::max();
            else if (*end != SteadyTime::max())
                *end += std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(*f.duration));
            log.add(index_, which + " hangs " + (f.duration ? "for " + seconds_text(*f.duration) : "until stopped"));
        } else if (req.height > 0) {
            glitch.rows = std::max(2, req.height / 16);
            double where = draw(fault_seed_, 0x6c697463ULL + static_cast<std::uint64_t>(f.rule),
                                static_cast<std::uint64_t>(index_), static_cast<std::uint64_t>(number));
            glitch.first = std::min(req.height - glitch.rows, static_cast<int>(where * (req.height - glitch.rows + 1)));
            glitch.first = std::max(0, glitch.first);
            glitch.zero = f.zero;
            log.add(index_, which + " glitched: rows " + std::to_string(glitch.first) + "-" +
                                std::to_string(glitch.first + glitch.rows - 1) + (f.zero ? " zeroed" : " shifted"));
        }
    }
    return glitch;
}

// The video frame `number` (1-based, fetched by this process) comes glitched when a rule lists it.
Snapshot::Glitch Camera::plan_video_frame(long number, int height) {
    Snapshot::Glitch glitch;
    for (const Fault& f : faults_) {
        if (f.kind != Fault::Kind::Glitch || height <= 0) continue;
        if (std::find(f.frames.begin(), f.frames.end(), number) == f.frames.end()) continue;
        glitch.rows = std::max(2, height / 16);
        double where = draw(fault_seed_, 0x76696465ULL + static_cast<std::uint64_t>(f.rule),
                            static_cast<std::uint64_t>(index_), static_cast<std::uint64_t>(number));
        glitch.first = std::max(0, std::min(height - glitch.rows, static_cast<int>(where * (height - glitch.rows + 1))));
        glitch.zero = f.zero;
        FaultLog::get().add(index_, "video frame " + std::to_string(number) + " glitched: rows " +
                                        std::to_string(glitch.first) + "-" +
                                        std::to_string(glitch.first + glitch.rows - 1) + (f.zero ? " zeroed" : " shifted"));
    }
    return glitch;
}

double Camera::blackout_until(double now) {
    double until = 0.0;
    for (Blackout& b : blackouts_) {
        const Fault& f = *b.rule;
        if (!b.start && f.after && video_frames_ >= *f.after) b.start = now;
        if (!b.start || now < *b.start) continue;
        if (!b.logged) {
            b.logged = true;
            const std::string what = "video frames time out for " + seconds_text(*f.duration);
            if (f.at)
                FaultLog::get().add_at(*f.at, index_, what);
            else
                FaultLog::get().add(index_, what);
        }
        if (now < *b.start + *f.duration) until = std::max(until, *b.start + *f.duration);
    }
    return until;
}

void Camera::power_up_settings() {
    for (const ControlDef& c : model_.controls) controls_[c.type] = {c.def, false};
    roi_ = {model_.width, model_.height, 1, ASI_IMG_RAW8, 0, 0};
    mode_ = ASI_MODE_NORMAL;
    trigger_out_ = {};
    dark_.reset();
}

void Camera::unplug() {
    {
        std::lock_guard lk(mu_);
        update_thermal();  // the cooler stops now: the past ran with it
        if (model_.cooler) controls_[ASI_COOLER_ON] = {0, false};
        removed_.store(true, std::memory_order_release);
    }
    close();
}

void Camera::replug() {
    std::lock_guard lk(mu_);
    update_thermal();
    power_up_settings();
    removed_.store(false, std::memory_order_release);
}

}  // namespace camsim

// --- one camera per machine ----------------------------------------------------------

namespace camsim {

// Only what another process wrote: within one process nothing changes.
void Camera::adopt_machine_state() {
    if (!model_.cooler) return;
    auto saved = machine::load(serial_text_);
    if (!saved || saved->writer == static_cast<long>(::getpid())) return;
    const double now = sim_seconds();
    const double gone = std::max(0.0, machine::unix_seconds() - saved->time) * time_scale();
    thermal_.restore(saved->temperature, now - gone);
    controls_[ASI_COOLER_ON].value = saved->cooler_on ? 1 : 0;
    if (const ControlDef* def = model_.control(ASI_TARGET_TEMP))
        controls_[ASI_TARGET_TEMP].value = std::clamp(saved->target, def->min, def->max);
    update_thermal();
}

void Camera::save_machine_state() {
    if (!model_.cooler || !claim_.held()) return;
    update_thermal();
    machine::save(serial_text_, {value(ASI_COOLER_ON) != 0, value(ASI_TARGET_TEMP), thermal_.temperature(),
                                 machine::unix_seconds(), static_cast<long>(::getpid())});
}

}  // namespace camsim

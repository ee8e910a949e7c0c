// Test controls: C entry points with the camsim_ prefix, made for ctypes.
// Functions on a camera return ASI codes: ASI_ERROR_INVALID_ID for an id that names
// no connected camera, ASI_ERROR_INVALID_INDEX / _INVALID_SIZE for bad records.
#include <cmath>
#include <cstring>
#include <string>

#include "ASICamera2.h"
#include "export.hpp"
#include "hooks.hpp"
#include "library.hpp"

namespace {

using namespace camsim;

// snprintf-style: returns the full length, writes what fits plus a NUL.
std::size_t copy_text(const std::string& text, char* buf, std::size_t len) {
    if (buf && len) {
        std::size_t n = std::min(len - 1, text.size());
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return text.size();
}

std::string join(const std::vector<std::string>& keys) {
    std::string out;
    for (const auto& k : keys) out += (out.empty() ? "" : ",") + k;
    return out;
}

template <class F>
int with_camera(int id, F&& f) {
    auto cam = Library::get().camera(id);
    if (!cam) return ASI_ERROR_INVALID_ID;
    return f(*cam);
}

}  // namespace

CAMSIM_EXPORT void camsim_reset(void) { Library::get().reset(); }

// Comma-separated model keys; an empty text connects no camera, null the default pair.
// Implies reset.
CAMSIM_EXPORT int camsim_configure(const char* keys_csv) {
    if (!keys_csv) return Library::get().configure(default_camera_keys()) ? 0 : -1;
    std::vector<std::string> keys;
    std::string csv = keys_csv;
    for (std::size_t pos = 0; pos < csv.size();) {
        std::size_t comma = csv.find(',', pos);
        if (comma == std::string::npos) comma = csv.size();
        keys.push_back(csv.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return Library::get().configure(keys) ? 0 : -1;
}

CAMSIM_EXPORT std::size_t camsim_models(char* buf, std::size_t len) {
    std::vector<std::string> keys;
    for (const Model& m : catalogue()) keys.push_back(m.key);
    return copy_text(join(keys), buf, len);
}

CAMSIM_EXPORT std::size_t camsim_connected(char* buf, std::size_t len) {
    return copy_text(join(Library::get().connected_keys()), buf, len);
}

CAMSIM_EXPORT void camsim_record_calls(int on) { Hooks::get().set_recording(on != 0); }

CAMSIM_EXPORT std::size_t camsim_calls(char* buf, std::size_t len) {
    return copy_text(Hooks::get().dump_calls(), buf, len);
}

CAMSIM_EXPORT void camsim_clear_calls(void) { Hooks::get().clear_calls(); }

CAMSIM_EXPORT int camsim_fail_next(const char* function, int code, int times) {
    auto fn = function ? function_by_name(function) : std::nullopt;
    if (!fn) return -1;
    Hooks::get().fail_next(*fn, code, times);
    return 0;
}

// data[i] and sizes[i] are the bytes for the i-th out-parameter; a null data[i] zero-fills it.
CAMSIM_EXPORT int camsim_force_outputs(const char* function, int code, int count,
                                       const unsigned char* const* data, const std::size_t* sizes) {
    auto fn = function ? function_by_name(function) : std::nullopt;
    if (!fn || count < 0) return -1;
    std::vector<std::optional<std::string>> outputs(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        if (data && data[i]) outputs[i].emplace(reinterpret_cast<const char*>(data[i]), sizes[i]);
    Hooks::get().force_outputs(*fn, code, std::move(outputs));
    return 0;
}

// raw null: ASIGetSDKVersion returns a null pointer.
CAMSIM_EXPORT void camsim_set_sdk_version(const char* raw, std::size_t len) {
    Library::get().set_sdk_version(raw, len);
}

CAMSIM_EXPORT int camsim_camera_info(int index, void* out, std::size_t size) {
    if (size != sizeof(ASI_CAMERA_INFO) || !out) return ASI_ERROR_INVALID_SIZE;
    return with_camera(index, [&](Camera& c) {
        ASI_CAMERA_INFO info = c.camera_info();
        std::memcpy(out, &info, sizeof info);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_patch_camera_info(int index, const void* info, std::size_t size) {
    if (size != sizeof(ASI_CAMERA_INFO) || !info) return ASI_ERROR_INVALID_SIZE;
    return with_camera(index, [&](Camera& c) {
        ASI_CAMERA_INFO rec;
        std::memcpy(&rec, info, sizeof rec);
        c.patch_camera_info(rec);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_control_caps(int camera, int index, void* out, std::size_t size) {
    if (size != sizeof(ASI_CONTROL_CAPS) || !out) return ASI_ERROR_INVALID_SIZE;
    return with_camera(camera, [&](Camera& c) {
        ASI_CONTROL_CAPS caps;
        if (!c.control_caps_record(index, &caps)) return ASI_ERROR_INVALID_INDEX;
        std::memcpy(out, &caps, sizeof caps);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_patch_control_caps(int camera, int index, const void* caps, std::size_t size) {
    if (size != sizeof(ASI_CONTROL_CAPS) || !caps) return ASI_ERROR_INVALID_SIZE;
    return with_camera(camera, [&](Camera& c) {
        ASI_CONTROL_CAPS rec;
        std::memcpy(&rec, caps, sizeof rec);
        return c.patch_control_caps(index, rec) ? ASI_SUCCESS : ASI_ERROR_INVALID_INDEX;
    });
}

CAMSIM_EXPORT void camsim_set_time_scale(double scale) { set_time_scale(scale); }

// on 0: video frames come as fast as they render instead of at the modelled link's pace.
CAMSIM_EXPORT void camsim_set_pacing(int on) { set_paced(on != 0); }

CAMSIM_EXPORT int camsim_pacing(void) { return paced() ? 1 : 0; }

CAMSIM_EXPORT void camsim_set_seed(unsigned long long value) { set_seed(value); }

CAMSIM_EXPORT int camsim_trigger_input(int camera, int level) {
    return with_camera(camera, [&](Camera& c) {
        c.trigger_input(level);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_set_gps_fix(int camera, int on) {
    return with_camera(camera, [&](Camera& c) {
        c.set_gps_fix(on != 0);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_set_gps_position(int camera, double latitude, double longitude, int altitude_m) {
    return with_camera(camera, [&](Camera& c) {
        c.set_gps_position(latitude, longitude, altitude_m);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_set_focal_length(int camera, double mm) {
    if (!(mm > 0.0)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_focal_length(mm);
        return ASI_SUCCESS;
    });
}

// Electrons per second per pixel at the field's centre; 0 switches the panel off.
CAMSIM_EXPORT int camsim_set_light_panel(int camera, double electrons_per_second) {
    if (!(electrons_per_second >= 0.0 && electrons_per_second <= 1e9)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_light_panel(electrons_per_second);
        return ASI_SUCCESS;
    });
}

// Pixels per second on the sensor, full resolution.
CAMSIM_EXPORT int camsim_set_drift(int camera, double dx, double dy) {
    return with_camera(camera, [&](Camera& c) {
        c.set_drift(dx, dy);
        return ASI_SUCCESS;
    });
}

// Degrees per second that the star field turns about the sensor's centre (field rotation).
CAMSIM_EXPORT int camsim_set_rotation(int camera, double deg_per_s) {
    if (!(std::abs(deg_per_s) <= 1e6)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_rotation(deg_per_s);
        return ASI_SUCCESS;
    });
}

// The field's transform now (last_frame 0) or as the camera's last frame began (1):
// shift in full-resolution pixels and turn in degrees, as RenderRequest applies them.
CAMSIM_EXPORT int camsim_field_transform(int camera, int last_frame, double* dx, double* dy, double* angle_deg) {
    return with_camera(camera, [&](Camera& c) {
        const Camera::FieldPose p = c.field_pose(last_frame != 0);
        if (dx) *dx = p.dx;
        if (dy) *dy = p.dy;
        if (angle_deg) *angle_deg = p.angle_deg;
        return ASI_SUCCESS;
    });
}

// Relative standard deviation of the light panel's level, frame to frame; 0 for steady.
CAMSIM_EXPORT int camsim_set_panel_flicker(int camera, double relative) {
    if (!(relative >= 0.0 && relative <= 1.0)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_panel_flicker(relative);
        return ASI_SUCCESS;
    });
}

// The renderer's sensor model at `gain`: out[0] electrons per RAW16 unit at bin 1,
// out[1] read noise (e- rms), out[2] full well (e-), out[3] dark current (e-/s) at the
// sensor's current temperature.
CAMSIM_EXPORT int camsim_sensor_truth(int camera, long gain, double* out) {
    if (!out) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        const ControlDef* g = c.model().control(ASI_GAIN);
        if (gain < 0 || (g && gain > g->max)) return ASI_ERROR_GENERAL_ERROR;
        const SensorTruth t = c.sensor_truth(gain);
        out[0] = t.electrons_per_adu16;
        out[1] = t.read_noise_e;
        out[2] = t.full_well_e;
        out[3] = t.dark_e_per_s;
        return ASI_SUCCESS;
    });
}

// Star blur in full-resolution sensor pixels (FWHM), added in quadrature to the optics.
CAMSIM_EXPORT int camsim_set_defocus(int camera, double fwhm_px) {
    if (!(fwhm_px >= 0.0 && fwhm_px <= 100.0)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_defocus(fwhm_px);
        return ASI_SUCCESS;
    });
}

// Clouds: the fraction of the sky's and the stars' light that reaches the sensor.
CAMSIM_EXPORT int camsim_set_transparency(int camera, double fraction) {
    if (!(fraction >= 0.0 && fraction <= 1.0)) return ASI_ERROR_GENERAL_ERROR;
    return with_camera(camera, [&](Camera& c) {
        c.set_transparency(fraction);
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_star_shift(int camera, double* x, double* y) {
    return with_camera(camera, [&](Camera& c) {
        auto [sx, sy] = c.star_shift();
        if (x) *x = sx;
        if (y) *y = sy;
        return ASI_SUCCESS;
    });
}

CAMSIM_EXPORT int camsim_sensor_temperature(int camera, double* celsius) {
    return with_camera(camera, [&](Camera& c) {
        double t = c.sensor_temperature();
        if (celsius) *celsius = t;
        return ASI_SUCCESS;
    });
}

// exposure_us < 0: the camera's exposure control.
CAMSIM_EXPORT int camsim_write_dark_bmp(int camera, const char* path, long exposure_us) {
    return with_camera(camera, [&](Camera& c) { return c.write_dark_bmp(path, exposure_us); });
}

// The fault schedule's grammar is in faults.hpp; an empty text clears it. -1 when the text
// does not read: the reason goes to error (snprintf-style) and no fault is played.
CAMSIM_EXPORT int camsim_set_faults(const char* text, char* error, std::size_t len) {
    std::string why;
    if (Library::get().set_faults(text ? text : "", &why)) return 0;
    copy_text(why, error, len);
    return -1;
}

// No more faults; the log stays.
CAMSIM_EXPORT void camsim_clear_faults(void) { Library::get().set_faults("", nullptr, false); }

// One "seconds<TAB>camera<TAB>what" line per fault played, in time order.
CAMSIM_EXPORT std::size_t camsim_fault_log(char* buf, std::size_t len) {
    return copy_text(FaultLog::get().dump(), buf, len);
}

// Who has the camera open, this process included: *pid 0 when nobody does. The program's
// name is written snprintf-style; the return is an ASI code.
CAMSIM_EXPORT int camsim_holder(int camera, long* pid, char* program, std::size_t len) {
    return with_camera(camera, [&](Camera& c) {
        auto h = c.holder();
        if (pid) *pid = h ? h->pid : 0;
        copy_text(h ? h->program : "", program, len);
        return ASI_SUCCESS;
    });
}

// The folder of the cameras' locks and saved state; empty when none can be used.
CAMSIM_EXPORT std::size_t camsim_state_dir(char* buf, std::size_t len) {
    return copy_text(machine::state_dir(), buf, len);
}

// The camera's serial number as its state files name it (16 hex digits).
CAMSIM_EXPORT int camsim_serial(int camera, char* buf, std::size_t len) {
    return with_camera(camera, [&](Camera& c) {
        copy_text(c.serial_text(), buf, len);
        return ASI_SUCCESS;
    });
}

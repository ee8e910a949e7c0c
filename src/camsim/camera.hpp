// One connected camera: its state behind its own lock, and the vendor's rules for
// which call is refused in which state. Every method returns an ASI error code.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ASICamera2.h"
#include "catalogue.hpp"
#include "faults.hpp"
#include "gps.hpp"
#include "machine.hpp"
#include "motion.hpp"
#include "renderer.hpp"
#include "settings.hpp"
#include "thermal.hpp"
#include "video.hpp"

namespace camsim {

// A snapshot exposure's pixels, rendered on the simulator's own thread as the exposure
// runs; the fetch only copies them, as from a real camera's buffer.
class Snapshot {
public:
    enum class State { Rendering, Done, Failed };
    // A band of rows damaged after the render, as a glitch on the USB link would.
    struct Glitch {
        int first = 0, rows = 0;  // rows 0 means none
        bool zero = false;        // zeroed; else shifted sideways by a third of the width
    };
    Snapshot(FrameSource& source, Shot shot, Glitch glitch);
    ~Snapshot();  // waits for the render
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    State state() const { return state_.load(std::memory_order_acquire); }
    const Shot& shot() const { return shot_; }
    // Valid once state() is Done.
    const std::vector<std::uint8_t>& pixels() const { return pixels_; }
    // In a forked child: the render thread is gone, so nothing may wait for it.
    void orphan();

private:
    void damage();

    FrameSource& source_;
    const Shot shot_;
    const Glitch glitch_;
    std::vector<std::uint8_t> pixels_;
    std::atomic<State> state_{State::Rendering};
    std::thread thread_;  // last: starts once everything above exists
};

class Camera final : public FrameSource {
public:
    Camera(const Model& model, int index);
    ~Camera() override;
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    const Model& model() const { return model_; }
    // Closes the camera and stops its threads; safe to call more than once.
    void shutdown();

    // Around fork(): the parent holds the camera lock across the fork; the child forgets
    // the captures whose threads did not come with it, without waiting for or destroying them.
    void lock_for_fork() { mu_.lock(); }
    void unlock_after_fork() { mu_.unlock(); }
    void forget_threads_after_fork();

    // Vendor operations.
    int property(ASI_CAMERA_INFO* out) const;
    int open();
    int init();
    int close();
    int get_id(ASI_ID* out) const;
    int set_id(const ASI_ID& id);
    int serial(ASI_SN* out) const;

    int num_controls(int* out) const;
    int control_caps(int index, ASI_CONTROL_CAPS* out) const;
    int get_control(int type, long* value, ASI_BOOL* is_auto);
    int set_control(int type, long value, ASI_BOOL is_auto);

    int set_roi(int width, int height, int bin, int img_type);
    int get_roi(int* width, int* height, int* bin, ASI_IMG_TYPE* img_type) const;
    int set_start(int x, int y);
    int get_start(int* x, int* y) const;

    int start_exposure(bool dark);
    int stop_exposure();
    int exposure_status(ASI_EXPOSURE_STATUS* out);
    int data_after_exposure(std::uint8_t* buf, long size, ASI_GPS_DATA* gps);

    int start_video();
    int stop_video();
    int video_data(std::uint8_t* buf, long size, int wait_ms, ASI_GPS_DATA* gps);
    int dropped_frames(int* out) const;

    int support_modes(ASI_SUPPORTED_MODE* out) const;
    int get_mode(ASI_CAMERA_MODE* out) const;
    int set_mode(int mode);
    int soft_trigger(bool start);
    int set_trigger_output(int pin, bool high, long delay, long duration);
    int get_trigger_output(int pin, ASI_BOOL* high, long* delay, long* duration) const;

    int pulse_guide(int direction, bool on);
    int enable_dark(const char* path);
    int disable_dark();
    int gain_offset(int* offset_highest_dr, int* offset_unity_gain, int* gain_lowest_rn,
                    int* offset_lowest_rn) const;
    int lmh_gain_offset(int* low_gain, int* medium_gain, int* high_gain, int* high_offset) const;
    int gps_data(ASI_GPS_DATA* start, ASI_GPS_DATA* end);

    // Faults (see faults.hpp): the rules of the schedule that name this camera, with the
    // schedule's seed and its start (real seconds). Exposures already started keep their fate.
    void set_faults(std::vector<Fault> rules, std::uint64_t seed, double origin);
    // Leaving the bus closes the camera and stops its cooler; coming back it has the
    // settings of a camera just powered up, and its sensor's temperature where it drifted.
    void unplug();
    void replug();
    bool removed() const { return removed_.load(std::memory_order_acquire); }

    // The serial as 16 hex digits, the name of its state files; who has it open elsewhere.
    const std::string& serial_text() const { return serial_text_; }
    std::optional<machine::Holder> holder() const { return machine::holder(serial_text_); }
    // Exposures that have ended in this process: frame fetched, failed or stopped.
    long exposures_ended() const { return ended_.load(std::memory_order_acquire); }

    // Test controls (any state).
    ASI_CAMERA_INFO camera_info() const;
    void patch_camera_info(const ASI_CAMERA_INFO& info);
    bool control_caps_record(int index, ASI_CONTROL_CAPS* out) const;
    bool patch_control_caps(int index, const ASI_CONTROL_CAPS& caps);
    void trigger_input(int level);
    void set_gps_fix(bool on);
    void set_gps_position(double lat, double lon, int alt_m);
    void set_focal_length(double mm);
    void set_drift(double dx, double dy);
    void set_rotation(double deg_per_s);
    void set_defocus(double fwhm_px);
    void set_transparency(double fraction);
    // Electrons per second per pixel from a flat panel over the aperture; 0 for off.
    void set_light_panel(double electrons_per_second);
    // Relative standard deviation of the panel's level from frame to frame; 0 for steady.
    void set_panel_flicker(double relative);
    std::pair<double, double> star_shift() const;
    // The field's shift (pixels) and turn (degrees): now, or as the last frame began.
    struct FieldPose {
        double dx = 0.0, dy = 0.0, angle_deg = 0.0;
    };
    FieldPose field_pose(bool last_frame) const;
    // The sensor model the frames are rendered with, at `gain` and the current temperature.
    SensorTruth sensor_truth(long gain);
    double sensor_temperature();
    // A full-sensor 8-bit dark with the current settings; exposure_us < 0: the control's.
    int write_dark_bmp(const char* path, long exposure_us);

    // FrameSource, for the video producer.
    std::optional<Shot> begin_shot(const Video& capture, long exposure_us,
                                   std::chrono::system_clock::time_point start) override;
    void render(const RenderRequest& req, std::uint8_t* out) override;

private:
    struct ControlValue {
        long value = 0;
        bool is_auto = false;
    };
    struct Roi {
        int width, height, bin, img_type, start_x, start_y;
    };
    struct TriggerOutput {
        bool high = false;
        long delay = 0;
        long duration = 0;
    };
    struct Exposure {
        ASI_EXPOSURE_STATUS status = ASI_EXP_IDLE;
        SteadyTime end{};
        std::shared_ptr<Snapshot> snapshot;
        bool fails = false;  // a fault: it ends ASI_EXP_FAILED
    };
    struct Blackout {  // a video-timeout rule, once its start is known
        const Fault* rule;
        std::optional<double> start;  // real seconds
        bool logged = false;
    };
    struct RenderState {
        std::mutex mu;  // the renderer is not thread-safe
        Renderer renderer;
    };

    // Each caller holds mu_.
    int refuse_unless_open() const;
    // Runs `body` under the camera lock when the camera is open; the closed code otherwise.
    template <class F>
    int when_open(F&& body) const {
        std::lock_guard lk(mu_);
        if (int e = refuse_unless_open()) return e;
        return body();
    }
    void update_exposure();
    void end_exposure(ASI_EXPOSURE_STATUS status);
    void update_thermal();
    Snapshot::Glitch plan_exposure(long number, const RenderRequest& req, SteadyTime* end, bool* fails);
    Snapshot::Glitch plan_video_frame(long number, int height);
    // End of the video timeout running at `now` (real seconds), or 0 when none runs.
    double blackout_until(double now);
    void power_up_settings();
    // The cooler and the sensor as another process left them; ours for the others.
    void adopt_machine_state();
    void save_machine_state();
    long value(int type, long fallback = 0) const;
    bool capturing() const;
    Shot shot_locked(long exposure_us, bool dark);
    void stamp_gps(Shot& shot, std::chrono::system_clock::time_point start);
    ASI_GPS_DATA gps_end_record(std::chrono::system_clock::time_point start) const;
    std::shared_ptr<Video> take_video();
    std::shared_ptr<Snapshot> take_snapshot();

    const Model& model_;
    const int index_;

    mutable std::mutex mu_;
    bool open_ = false;
    bool initialised_ = false;
    ASI_CAMERA_INFO info_;
    std::vector<ASI_CONTROL_CAPS> caps_;
    std::array<ControlValue, 64> controls_{};
    Roi roi_;
    ASI_ID flash_id_{};
    ASI_SN serial_{};
    std::string serial_text_;
    machine::Claim claim_;
    ASI_CAMERA_MODE mode_ = ASI_MODE_NORMAL;
    int input_level_ = 0;
    std::array<TriggerOutput, 2> trigger_out_{};
    Thermal thermal_;
    StarMotion motion_;
    double defocus_fwhm_ = 0.0;  // sensor pixels
    double transparency_ = 1.0;  // clouds: the light that gets through
    std::shared_ptr<const std::vector<std::uint8_t>> dark_;
    GpsReceiver gps_;
    std::array<ASI_GPS_DATA, 2> last_gps_{};
    bool have_last_gps_ = false;
    std::uint64_t frame_index_ = 0;
    double panel_rate_ = light_panel_by_default();
    double panel_flicker_ = 0.0;
    FieldPose last_pose_{};
    Exposure exposure_;
    std::shared_ptr<Video> video_;

    std::vector<Fault> faults_;
    std::uint64_t fault_seed_ = 1;
    double fault_origin_ = 0.0;
    std::vector<Blackout> blackouts_;
    long started_ = 0;       // snap exposures started
    long video_frames_ = 0;  // video frames fetched
    std::atomic<long> ended_{0};
    std::atomic<bool> removed_{false};

    std::unique_ptr<RenderState> render_ = std::make_unique<RenderState>();
};

}  // namespace camsim

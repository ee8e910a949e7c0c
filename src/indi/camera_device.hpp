// One connected camera as an INDI CCD device. The base class owns the standard
// properties, FITS writing, uploads, the stream manager and the guider interface; this
// class adds what the SDK must do for each of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "controls.hpp"
#include "guider.hpp"
#include "indiccd.h"
#include "indipropertynumber.h"
#include "indipropertyswitch.h"
#include "inditimer.h"
#include "roi.hpp"
#include "sim_controls.hpp"
#include "uploads.hpp"
#include "video_pump.hpp"

// The driver's name in DRIVER_INFO and in the driver list (indi_orlicam.xml); device names start with it.
inline constexpr const char *kDriverName = "Orlicam";

// The camera's serial number in hex; empty when it cannot be read (the camera must be open).
std::string serial_number(int camera_id);

class CameraDevice : public INDI::CCD {
  public:
    CameraDevice(const ASI_CAMERA_INFO &info, const std::string &name);

    const char *getDefaultName() override;
    const char *getDriverName() override { return kDriverName; }
    bool initProperties() override;
    bool updateProperties() override;
    void ISGetProperties(const char *dev) override;
    bool ISNewNumber(const char *dev, const char *name, double values[], char *names[], int n) override;
    bool ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[], int n) override;
    bool ISNewText(const char *dev, const char *name, char *texts[], char *names[], int n) override;

  protected:
    bool Connect() override;
    bool Disconnect() override;
    void TimerHit() override;

    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    bool SetCaptureFormat(uint8_t index) override;
    int SetTemperature(double celsius) override;
    IPState GuideNorth(uint32_t ms) override;
    IPState GuideSouth(uint32_t ms) override;
    IPState GuideEast(uint32_t ms) override;
    IPState GuideWest(uint32_t ms) override;
    bool StartStreaming() override;
    bool StopStreaming() override;
    void addFITSKeywords(INDI::CCDChip *chip) override;
    bool processFastExposure(INDI::CCDChip *chip) override;
    bool saveConfigItems(FILE *fp) override;

  private:
    // Exposure steps, polled from the INDI loop.
    void poll_exposure();
    void finish_exposure();
    void exposure_failed(const char *what, int code);
    IPState pulse(ASI_GUIDE_DIRECTION direction, INDI_EQ_AXIS axis, uint32_t ms);
    void report_pulses();
    // Switches off every relay a pulse holds on, the pulses' properties saying why.
    void end_pulses(const char *why);

    // The region in binned pixels that the chip's frame asks for, and how the camera reads it.
    void resolve(roi::Rect asked, int bin, roi::Rect &want, roi::Plan &plan) const;
    roi::Rect wanted() const;
    roi::Binning binning() const;
    int bytes_per_pixel() const { return img_type_ == ASI_IMG_RAW16 ? 2 : 1; }
    int apply_region(const roi::Plan &plan);

    // Frame and binning are those of the exposure or stream that runs: a change asked for
    // meanwhile waits, shown Busy, and applies before the next one starts.
    bool busy() const { return exposing_ || pump_.running() || delivering_; }
    bool new_frame(double values[], char *names[], int n);
    bool new_binning(double values[], char *names[], int n);
    bool reset_frame();
    void apply_binning(int bin);
    void apply_pending();

    // Properties a client may not set: undefined ones (those of a disconnected camera),
    // non-finite numbers, texts too long for the library to echo.
    bool refuse_undefined(const char *name);
    bool refuse_non_finite(const char *name, double values[], char *names[], int n);
    bool refuse_long_text(const char *name, char *texts[], char *names[], int n);
    bool new_upload_settings(char *texts[], char *names[], int n);

    // libindi's upload thread sends the image to the client; the sender waits for it to end.
    void send_with_libindi();
    void libindi_upload_ended();

    // Local uploads: the image built here and written by a worker with a deadline.
    void deliver_locally(bool send_too);
    std::vector<unsigned char> build_fits();
    void send_blob(std::vector<unsigned char> &bytes, const std::string &format);
    void start_save(const std::string &folder, const std::string &prefix, const char *ext,
                    std::vector<unsigned char> bytes, bool sent);
    void poll_saves();
    void update_cfa(const roi::Rect &want);
    void publish_frame(const roi::Rect &want);

    long read_control(int type, bool *is_auto = nullptr) const;
    void refresh_temperature();
    // One SDK call's outcome for a property: Ok, or Alert with what failed and why.
    template <class P> void settle(P &property, int code, const char *what);
    // An SDK code that means the camera is gone: the device stays, in Alert, and looks for the
    // camera by its serial until it is back; true for such a code.
    bool lost(int code);
    // Finds this camera (model and serial) among those connected that no device of the driver
    // holds, and leaves it open; its id, or -1.
    int find_camera();
    void search();
    bool reopen(int camera_id);
    int restore_settings();
    bool refuse_while_lost(const char *name);

    void define_controls();
    bool set_controls(double values[], char *names[], int n);
    bool set_control_modes(ISState *states, char *names[], int n);

    ASI_CAMERA_INFO info_;
    std::string name_;
    int id_;
    std::vector<asi::Control> controls_;
    std::vector<const asi::Control *> vector_controls_, auto_controls_;

    // Standard and camera-specific properties.
    INDI::PropertyNumber GainNP{1}, OffsetNP{1}, CoolerPowerNP{1};
    INDI::PropertySwitch CoolerSP{2};
    INDI::PropertyNumber ControlsNP{0};
    INDI::PropertySwitch ControlModesSP{0};
    SimControls sim_;

    // Set from the camera's loss until it is open again with its settings.
    bool lost_ = false;
    std::chrono::steady_clock::time_point lost_at_;
    // An exposure asked for while the camera is lost starts when it is back, within a bound.
    bool exposure_held_ = false;
    float held_duration_ = 0;
    std::chrono::steady_clock::time_point held_at_;
    double set_point_ = 0;

    // The exposure waits for the lost camera and starts on its return.
    bool hold_exposure(float duration);
    // A failed exposure is taken again once by the driver itself before it ends in Alert: Ekos
    // 3.6 counts one Alert as up to three failed attempts and then gives the job up.
    bool exposure_retried_ = false;

    // Exposure state.
    INDI::Timer exposure_timer_;
    bool exposing_ = false;
    double exposure_s_ = 0;
    std::chrono::steady_clock::time_point exposure_start_;
    roi::Plan plan_{};
    roi::Rect want_{};
    int exposure_bin_ = 1;
    // Set from the end of an exposure until its image has gone to the client.
    bool delivering_ = false;
    std::mutex upload_lock_;
    std::condition_variable upload_ended_;
    bool uploading_ = false;
    int pending_bin_ = 0;                         // 0: none
    bool frame_pending_ = false;
    int pending_frame_[4] = {0, 0, 0, 0};
    // The last local save. One given up on stays here, holding its image and its thread, until
    // the folder answers: saves meanwhile are refused, so that a folder that never answers
    // costs one image and one thread, not one per frame.
    std::shared_ptr<uploads::Save> save_;
    bool save_reported_ = false;
    INDI::Timer save_timer_;
    std::vector<unsigned char> raw_;
    std::string gps_date_obs_, serial_;
    long fits_gain_ = 0, fits_offset_ = 0;
    int img_type_ = ASI_IMG_RAW16;

    Guider guider_;
    INDI::Timer guide_poll_;
    VideoPump pump_;
};

// One connected camera as an INDI CCD device. The base class owns the standard
// properties, FITS writing, uploads, the stream manager and the guider interface; this
// class adds what the SDK must do for each of them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "controls.hpp"
#include "indiccd.h"
#include "indipropertynumber.h"
#include "indipropertyswitch.h"
#include "inditimer.h"
#include "roi.hpp"
#include "sim_controls.hpp"
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
    bool saveConfigItems(FILE *fp) override;

  private:
    // Exposure steps, polled from the INDI loop.
    void poll_exposure();
    void finish_exposure();
    void exposure_failed(const char *what, int code);
    IPState pulse(ASI_GUIDE_DIRECTION direction, INDI_EQ_AXIS axis, uint32_t ms);

    // The region in binned pixels that the chip's frame asks for, fitted to the camera.
    roi::Rect wanted() const;
    int bytes_per_pixel() const { return img_type_ == ASI_IMG_RAW16 ? 2 : 1; }
    int apply_region(const roi::Plan &plan);
    void update_cfa(const roi::Rect &want);
    void publish_frame(const roi::Rect &want);

    long read_control(int type, bool *is_auto = nullptr) const;
    void refresh_temperature();
    // One SDK call's outcome for a property: Ok, or Alert with what failed and why.
    template <class P> void settle(P &property, int code, const char *what);
    // An SDK code that means the camera is gone ends the connection.
    bool lost(int code);

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

    // Exposure state.
    INDI::Timer exposure_timer_;
    bool exposing_ = false;
    double exposure_s_ = 0;
    std::chrono::steady_clock::time_point exposure_start_;
    roi::Plan plan_{};
    roi::Rect want_{};
    std::vector<unsigned char> raw_;
    std::string gps_date_obs_, serial_;
    long fits_gain_ = 0, fits_offset_ = 0;
    int img_type_ = ASI_IMG_RAW16;

    INDI::Timer guide_timer_ns_, guide_timer_we_;
    VideoPump pump_;
};

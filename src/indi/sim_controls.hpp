// A Simulator tab, present only when the loaded ASICamera2 is our simulator (found by
// its camsim_ entry points): SIM_FAIL_NEXT makes the next calls of an SDK function fail
// with a chosen code, in this process, so clients can see how failures are reported;
// SIM_GPS_FIX gives a GPS camera a fix or takes it away.
#pragma once

#include "indipropertyswitch.h"
#include "indipropertytext.h"

namespace INDI { class DefaultDevice; }

class SimControls {
  public:
    static bool available();
    void init(const char *device, int camera_id);
    void set_gps(bool gps) { gps_ = gps; }
    void set_camera(int camera_id) { camera_id_ = camera_id; }
    void define(INDI::DefaultDevice &device);
    void remove(INDI::DefaultDevice &device);
    // True when `name` was this tab's property.
    bool handle(const char *name, char *texts[], char *names[], int n);
    bool handle(const char *name, ISState *states, char *names[], int n);

  private:
    INDI::PropertyText FailNextTP{3};
    INDI::PropertySwitch GpsFixSP{2};
    int camera_id_ = -1;
    bool gps_ = false;
};

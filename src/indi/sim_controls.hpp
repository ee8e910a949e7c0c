// A Simulator tab, present only when the loaded ASICamera2 is our simulator (found by
// its camsim_ entry points): SIM_FAIL_NEXT makes the next calls of an SDK function fail
// with a chosen code, in this process, so clients can see how failures are reported.
#pragma once

#include "indipropertytext.h"

namespace INDI { class DefaultDevice; }

class SimControls {
  public:
    static bool available();
    void init(const char *device);
    void define(INDI::DefaultDevice &device);
    void remove(INDI::DefaultDevice &device);
    // True when `name` was this tab's property.
    bool handle(const char *name, char *texts[], char *names[], int n);

  private:
    INDI::PropertyText FailNextTP{3};
};

#include "sim_controls.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "asi_errors.hpp"
#include "defaultdevice.h"

namespace {

using FailNext = int (*)(const char *function, int code, int times);

FailNext fail_next() {
    static FailNext fn = reinterpret_cast<FailNext>(dlsym(RTLD_DEFAULT, "camsim_fail_next"));
    return fn;
}

using SetGpsFix = int (*)(int camera, int on);

SetGpsFix set_gps_fix() {
    static SetGpsFix fn = reinterpret_cast<SetGpsFix>(dlsym(RTLD_DEFAULT, "camsim_set_gps_fix"));
    return fn;
}

}  // namespace

bool SimControls::available() { return fail_next() != nullptr; }

void SimControls::init(const char *device, int camera_id) {
    camera_id_ = camera_id;
    GpsFixSP[0].fill("FIX_ON", "Fix", ISS_OFF);
    GpsFixSP[1].fill("FIX_OFF", "No fix", ISS_ON);
    GpsFixSP.fill(device, "SIM_GPS_FIX", "GPS", "Simulator", IP_RW, ISR_1OFMANY, 60, IPS_IDLE);
    FailNextTP[0].fill("FUNCTION", "SDK function", "ASIGetExpStatus");
    FailNextTP[1].fill("CODE", "Error code", "ASI_ERROR_TIMEOUT");
    FailNextTP[2].fill("TIMES", "Times", "1");
    FailNextTP.fill(device, "SIM_FAIL_NEXT", "Fail next call", "Simulator", IP_RW, 60, IPS_IDLE);
}

void SimControls::define(INDI::DefaultDevice &device) {
    if (available()) device.defineProperty(FailNextTP);
    if (available() && gps_ && set_gps_fix()) device.defineProperty(GpsFixSP);
}

void SimControls::remove(INDI::DefaultDevice &device) {
    if (available()) device.deleteProperty(FailNextTP.getName());
    if (available() && gps_ && set_gps_fix()) device.deleteProperty(GpsFixSP.getName());
}

bool SimControls::handle(const char *name, ISState *states, char *names[], int n) {
    if (!GpsFixSP.isNameMatch(name) || !gps_ || !set_gps_fix()) return false;
    GpsFixSP.update(states, names, n);
    int code = set_gps_fix()(camera_id_, GpsFixSP[0].getState() == ISS_ON);
    GpsFixSP.setState(code == 0 ? IPS_OK : IPS_ALERT);
    GpsFixSP.apply();
    return true;
}

bool SimControls::handle(const char *name, char *texts[], char *names[], int n) {
    if (!FailNextTP.isNameMatch(name) || !available()) return false;
    FailNextTP.update(texts, names, n);
    const std::string function = FailNextTP[0].getText() ? FailNextTP[0].getText() : "";
    const int code = asi::code_named(FailNextTP[1].getText());
    const int times = std::atoi(FailNextTP[2].getText() ? FailNextTP[2].getText() : "1");
    if (code < 0 || times < 1 || fail_next()(function.c_str(), code, times) != 0) {
        FailNextTP.setState(IPS_ALERT);
        FailNextTP.apply("not armed: unknown function '%s', code or count", function.c_str());
        return true;
    }
    FailNextTP.setState(IPS_OK);
    FailNextTP.apply("the next %d call(s) of %s fail with %s", times, function.c_str(), asi::describe(code));
    return true;
}

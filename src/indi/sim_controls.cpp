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

}  // namespace

bool SimControls::available() { return fail_next() != nullptr; }

void SimControls::init(const char *device) {
    FailNextTP[0].fill("FUNCTION", "SDK function", "ASIGetExpStatus");
    FailNextTP[1].fill("CODE", "Error code", "ASI_ERROR_TIMEOUT");
    FailNextTP[2].fill("TIMES", "Times", "1");
    FailNextTP.fill(device, "SIM_FAIL_NEXT", "Fail next call", "Simulator", IP_RW, 60, IPS_IDLE);
}

void SimControls::define(INDI::DefaultDevice &device) {
    if (available()) device.defineProperty(FailNextTP);
}

void SimControls::remove(INDI::DefaultDevice &device) {
    if (available()) device.deleteProperty(FailNextTP.getName());
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

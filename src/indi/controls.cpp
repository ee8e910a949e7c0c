#include "controls.hpp"

#include <algorithm>
#include <cstring>

#include "ASICamera2.h"

namespace asi {

std::vector<Control> read_controls(int camera_id, int &code) {
    std::vector<Control> out;
    int count = 0;
    code = ASIGetNumOfControls(camera_id, &count);
    for (int i = 0; code == ASI_SUCCESS && i < count; ++i) {
        ASI_CONTROL_CAPS caps{};
        code = ASIGetControlCaps(camera_id, i, &caps);
        if (code != ASI_SUCCESS) break;
        std::string name(caps.Name, strnlen(caps.Name, sizeof caps.Name));
        std::replace(name.begin(), name.end(), ' ', '_');
        out.push_back({caps.ControlType, name, std::string(caps.Description, strnlen(caps.Description, sizeof caps.Description)),
                       caps.MinValue, caps.MaxValue, caps.DefaultValue, caps.IsAutoSupported != ASI_FALSE,
                       caps.IsWritable != ASI_FALSE});
    }
    if (code != ASI_SUCCESS) out.clear();
    return out;
}

const Control *find(const std::vector<Control> &controls, int type) {
    for (const Control &c : controls)
        if (c.type == type) return &c;
    return nullptr;
}

bool has_own_property(int type) {
    switch (type) {
        case ASI_GAIN: case ASI_OFFSET:                              // CCD_GAIN, CCD_OFFSET
        case ASI_EXPOSURE:                                           // CCD_EXPOSURE
        case ASI_TEMPERATURE: case ASI_TARGET_TEMP:                  // CCD_TEMPERATURE
        case ASI_COOLER_ON: case ASI_COOLER_POWER_PERC:              // CCD_COOLER, CCD_COOLER_POWER
        case ASI_FLIP:                  // a mirrored frame would contradict the Bayer offsets sent
        case ASI_GPS_START_LINE: case ASI_GPS_END_LINE: case ASI_GPS_SUPPORT:
            return true;
        default:
            return false;
    }
}

}  // namespace asi

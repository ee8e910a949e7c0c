// indi_orlicam_ccd: one INDI device per connected camera. libindidriver owns main()
// and the IS* entry points, which reach every device made here.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "camera_device.hpp"

namespace {

// Every device name starts with the driver's name: Ekos adopts only devices whose name
// begins with the first word of the driver's name in the driver list (indi_orlicam.xml).
// A name shared by two cameras gains the serial's last four digits, so that INDI's
// per-device configuration follows the camera rather than the USB order.
std::string unique_name(const ASI_CAMERA_INFO &info, const std::vector<ASI_CAMERA_INFO> &all,
                        const std::vector<std::string> &taken) {
    std::string name = std::string(kDriverName) + " " + std::string(info.Name, strnlen(info.Name, sizeof info.Name));
    int alike = 0;
    for (const ASI_CAMERA_INFO &other : all) alike += std::strncmp(other.Name, info.Name, sizeof info.Name) == 0;
    if (alike > 1) {
        std::string serial;
        if (ASIOpenCamera(info.CameraID) == ASI_SUCCESS) {
            serial = serial_number(info.CameraID);
            ASICloseCamera(info.CameraID);
        }
        if (serial.size() >= 4) name.append(" ").append(serial, serial.size() - 4, 4);
    }
    if (std::find(taken.begin(), taken.end(), name) != taken.end())
        name.append(" #").append(std::to_string(info.CameraID + 1));
    return name;
}

std::vector<std::unique_ptr<CameraDevice>> make_devices() {
    std::vector<ASI_CAMERA_INFO> infos;
    for (int i = 0, n = ASIGetNumOfConnectedCameras(); i < n; ++i) {
        ASI_CAMERA_INFO info{};
        if (ASIGetCameraProperty(&info, i) == ASI_SUCCESS) infos.push_back(info);
    }
    std::vector<std::unique_ptr<CameraDevice>> made;
    std::vector<std::string> names;
    for (const ASI_CAMERA_INFO &info : infos) {
        names.push_back(unique_name(info, infos, names));
        made.push_back(std::make_unique<CameraDevice>(info, names.back()));
    }
    return made;
}

// Made before libindidriver's main() runs.
const auto devices = make_devices();

}  // namespace

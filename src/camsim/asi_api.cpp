// The vendor's C entry points. Each one records the call when recording is on,
// honours an injected fault or forced outputs, finds the camera and asks it.
#include <initializer_list>
#include <string>
#include <type_traits>

#include "ASICamera2.h"
#include "export.hpp"
#include "hooks.hpp"
#include "library.hpp"

namespace {

using namespace camsim;

struct Bytes {
    const void* data;
    std::size_t size;
};
struct Path {
    const char* text;  // may be null
};

template <class T>
    requires std::is_integral_v<T>
LoggedArg to_arg(T v) {
    return {LoggedArg::Int, static_cast<long long>(v), {}};
}
LoggedArg to_arg(Bytes b) { return {LoggedArg::Bytes, 0, std::string(static_cast<const char*>(b.data), b.size)}; }
LoggedArg to_arg(Path p) { return p.text ? LoggedArg{LoggedArg::Bytes, 0, p.text} : LoggedArg{LoggedArg::None, 0, {}}; }

template <class T>
Out out(T* p) {
    return {p, sizeof(T), false};
}
Out buffer(unsigned char* p, long size) { return {p, size > 0 ? static_cast<std::size_t>(size) : 0, true}; }

// Records the call; returns the injected result if there is one.
template <class... A>
std::optional<int> prologue(Fn fn, std::initializer_list<Out> outs, const A&... args) {
    Hooks& hooks = Hooks::get();
    if (hooks.recording()) hooks.record(fn, {to_arg(args)...});
    return hooks.intercept(fn, std::span<const Out>(outs.begin(), outs.size()));
}

template <class Body, class... A>
ASI_ERROR_CODE on_camera(Fn fn, int id, std::initializer_list<Out> outs, Body&& body, const A&... args) {
    if (auto code = prologue(fn, outs, id, args...)) return *code;
    auto cam = Library::get().camera(id);
    if (!cam) return ASI_ERROR_INVALID_ID;
    if (cam->removed()) return ASI_ERROR_CAMERA_REMOVED;
    try {
        return body(*cam);
    } catch (...) {  // no C++ exception (an allocation that failed) may cross the C boundary
        return ASI_ERROR_GENERAL_ERROR;
    }
}

// Connect the cameras when the library loads, so a bad ORLICAM_SIM_CAMERAS is reported at once.
[[maybe_unused]] const bool g_loaded = (Library::get(), true);

}  // namespace

CAMSIM_EXPORT int ASIGetNumOfConnectedCameras(void) {
    if (auto code = prologue(Fn::GetNumOfConnectedCameras, {})) return *code;
    return Library::get().count();
}

CAMSIM_EXPORT ASI_BOOL ASICameraCheck(int iVID, int iPID) {
    if (auto code = prologue(Fn::CameraCheck, {}, iVID, iPID)) return *code;
    if (iVID != kVendorId) return ASI_FALSE;
    for (const Model& m : catalogue())
        if (m.usb_pid == iPID) return ASI_TRUE;
    return ASI_FALSE;
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO* pASICameraInfo, int iCameraIndex) {
    if (auto code = prologue(Fn::GetCameraProperty, {out(pASICameraInfo)}, iCameraIndex)) return *code;
    auto cam = Library::get().camera_at(iCameraIndex);
    return cam ? cam->property(pASICameraInfo) : ASI_ERROR_INVALID_INDEX;
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO* pASICameraInfo) {
    return on_camera(Fn::GetCameraPropertyByID, iCameraID, {out(pASICameraInfo)},
                     [&](Camera& c) { return c.property(pASICameraInfo); });
}

// A failed call returns a null pointer.
CAMSIM_EXPORT char* ASIGetSDKVersion(void) {
    if (prologue(Fn::GetSDKVersion, {})) return nullptr;
    return const_cast<char*>(Library::get().sdk_version());
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIOpenCamera(int iCameraID) {
    return on_camera(Fn::OpenCamera, iCameraID, {}, [](Camera& c) { return c.open(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIInitCamera(int iCameraID) {
    return on_camera(Fn::InitCamera, iCameraID, {}, [](Camera& c) { return c.init(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASICloseCamera(int iCameraID) {
    return on_camera(Fn::CloseCamera, iCameraID, {}, [](Camera& c) { return c.close(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID* pID) {
    return on_camera(Fn::GetID, iCameraID, {out(pID)}, [&](Camera& c) { return c.get_id(pID); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID) {
    return on_camera(Fn::SetID, iCameraID, {}, [&](Camera& c) { return c.set_id(ID); },
                     Bytes{ID.id, sizeof ID.id});
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN* pSN) {
    return on_camera(Fn::GetSerialNumber, iCameraID, {out(pSN)}, [&](Camera& c) { return c.serial(pSN); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int* piNumberOfControls) {
    return on_camera(Fn::GetNumOfControls, iCameraID, {out(piNumberOfControls)},
                     [&](Camera& c) { return c.num_controls(piNumberOfControls); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex, ASI_CONTROL_CAPS* pControlCaps) {
    return on_camera(Fn::GetControlCaps, iCameraID, {out(pControlCaps)},
                     [&](Camera& c) { return c.control_caps(iControlIndex, pControlCaps); }, iControlIndex);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long* plValue,
                                                ASI_BOOL* pbAuto) {
    return on_camera(Fn::GetControlValue, iCameraID, {out(plValue), out(pbAuto)},
                     [&](Camera& c) { return c.get_control(ControlType, plValue, pbAuto); }, ControlType);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue,
                                                ASI_BOOL bAuto) {
    return on_camera(Fn::SetControlValue, iCameraID, {},
                     [&](Camera& c) { return c.set_control(ControlType, lValue, bAuto); }, ControlType, lValue,
                     bAuto);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, ASI_IMG_TYPE Img_type) {
    return on_camera(Fn::SetROIFormat, iCameraID, {},
                     [&](Camera& c) { return c.set_roi(iWidth, iHeight, iBin, Img_type); }, iWidth, iHeight, iBin,
                     Img_type);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int* piWidth, int* piHeight, int* piBin,
                                             ASI_IMG_TYPE* pImg_type) {
    return on_camera(Fn::GetROIFormat, iCameraID, {out(piWidth), out(piHeight), out(piBin), out(pImg_type)},
                     [&](Camera& c) { return c.get_roi(piWidth, piHeight, piBin, pImg_type); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY) {
    return on_camera(Fn::SetStartPos, iCameraID, {}, [&](Camera& c) { return c.set_start(iStartX, iStartY); },
                     iStartX, iStartY);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int* piStartX, int* piStartY) {
    return on_camera(Fn::GetStartPos, iCameraID, {out(piStartX), out(piStartY)},
                     [&](Camera& c) { return c.get_start(piStartX, piStartY); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark) {
    return on_camera(Fn::StartExposure, iCameraID, {},
                     [&](Camera& c) { return c.start_exposure(bIsDark != ASI_FALSE); }, bIsDark);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIStopExposure(int iCameraID) {
    return on_camera(Fn::StopExposure, iCameraID, {}, [](Camera& c) { return c.stop_exposure(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS* pExpStatus) {
    return on_camera(Fn::GetExpStatus, iCameraID, {out(pExpStatus)},
                     [&](Camera& c) { return c.exposure_status(pExpStatus); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char* pBuffer, long lBuffSize) {
    return on_camera(Fn::GetDataAfterExp, iCameraID, {buffer(pBuffer, lBuffSize)},
                     [&](Camera& c) { return c.data_after_exposure(pBuffer, lBuffSize, nullptr); }, lBuffSize);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize,
                                                   ASI_GPS_DATA* gpsData) {
    return on_camera(Fn::GetDataAfterExpGPS, iCameraID, {buffer(pBuffer, lBuffSize), out(gpsData)},
                     [&](Camera& c) { return c.data_after_exposure(pBuffer, lBuffSize, gpsData); }, lBuffSize);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID) {
    return on_camera(Fn::StartVideoCapture, iCameraID, {}, [](Camera& c) { return c.start_video(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID) {
    return on_camera(Fn::StopVideoCapture, iCameraID, {}, [](Camera& c) { return c.stop_video(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms) {
    return on_camera(Fn::GetVideoData, iCameraID, {buffer(pBuffer, lBuffSize)},
                     [&](Camera& c) { return c.video_data(pBuffer, lBuffSize, iWaitms, nullptr); }, lBuffSize,
                     iWaitms);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms,
                                                ASI_GPS_DATA* gpsData) {
    return on_camera(Fn::GetVideoDataGPS, iCameraID, {buffer(pBuffer, lBuffSize), out(gpsData)},
                     [&](Camera& c) { return c.video_data(pBuffer, lBuffSize, iWaitms, gpsData); }, lBuffSize,
                     iWaitms);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int* piDropFrames) {
    return on_camera(Fn::GetDroppedFrames, iCameraID, {out(piDropFrames)},
                     [&](Camera& c) { return c.dropped_frames(piDropFrames); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE* pSupportedMode) {
    return on_camera(Fn::GetCameraSupportMode, iCameraID, {out(pSupportedMode)},
                     [&](Camera& c) { return c.support_modes(pSupportedMode); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE* mode) {
    return on_camera(Fn::GetCameraMode, iCameraID, {out(mode)}, [&](Camera& c) { return c.get_mode(mode); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode) {
    return on_camera(Fn::SetCameraMode, iCameraID, {}, [&](Camera& c) { return c.set_mode(mode); }, mode);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart) {
    return on_camera(Fn::SendSoftTrigger, iCameraID, {},
                     [&](Camera& c) { return c.soft_trigger(bStart != ASI_FALSE); }, bStart);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT_PIN pin, ASI_BOOL bPinHigh,
                                                       long lDelay, long lDuration) {
    return on_camera(Fn::SetTriggerOutputIOConf, iCameraID, {},
                     [&](Camera& c) { return c.set_trigger_output(pin, bPinHigh != ASI_FALSE, lDelay, lDuration); },
                     pin, bPinHigh, lDelay, lDuration);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT_PIN pin, ASI_BOOL* bPinHigh,
                                                       long* lDelay, long* lDuration) {
    return on_camera(Fn::GetTriggerOutputIOConf, iCameraID, {out(bPinHigh), out(lDelay), out(lDuration)},
                     [&](Camera& c) { return c.get_trigger_output(pin, bPinHigh, lDelay, lDuration); }, pin);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return on_camera(Fn::PulseGuideOn, iCameraID, {}, [&](Camera& c) { return c.pulse_guide(direction, true); },
                     direction);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return on_camera(Fn::PulseGuideOff, iCameraID, {}, [&](Camera& c) { return c.pulse_guide(direction, false); },
                     direction);
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char* pcBMPPath) {
    return on_camera(Fn::EnableDarkSubtract, iCameraID, {}, [&](Camera& c) { return c.enable_dark(pcBMPPath); },
                     Path{pcBMPPath});
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID) {
    return on_camera(Fn::DisableDarkSubtract, iCameraID, {}, [](Camera& c) { return c.disable_dark(); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int* pOffset_HighestDR, int* pOffset_UnityGain,
                                              int* pGain_LowestRN, int* pOffset_LowestRN) {
    return on_camera(Fn::GetGainOffset, iCameraID,
                     {out(pOffset_HighestDR), out(pOffset_UnityGain), out(pGain_LowestRN), out(pOffset_LowestRN)},
                     [&](Camera& c) {
                         return c.gain_offset(pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN);
                     });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int* pLGain, int* pMGain, int* pHGain, int* pHOffset) {
    return on_camera(Fn::GetLMHGainOffset, iCameraID, {out(pLGain), out(pMGain), out(pHGain), out(pHOffset)},
                     [&](Camera& c) { return c.lmh_gain_offset(pLGain, pMGain, pHGain, pHOffset); });
}

CAMSIM_EXPORT ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA* startLineGPSData,
                                           ASI_GPS_DATA* endLineGPSData) {
    return on_camera(Fn::GPSGetData, iCameraID, {out(startLineGPSData), out(endLineGPSData)},
                     [&](Camera& c) { return c.gps_data(startLineGPSData, endLineGPSData); });
}

// The vendor entry points, as one list: names for the call log, fault injection
// and forced outputs all come from here.
#pragma once
#include <cstddef>
#include <optional>
#include <string_view>

namespace camsim {

#define CAMSIM_FUNCTIONS(X)                                                            \
    X(GetNumOfConnectedCameras) X(CameraCheck) X(GetCameraProperty)                    \
    X(GetCameraPropertyByID) X(GetSDKVersion) X(OpenCamera) X(InitCamera)              \
    X(CloseCamera) X(GetID) X(SetID) X(GetSerialNumber) X(GetNumOfControls)            \
    X(GetControlCaps) X(GetControlValue) X(SetControlValue) X(SetROIFormat)            \
    X(GetROIFormat) X(SetStartPos) X(GetStartPos) X(StartExposure) X(StopExposure)     \
    X(GetExpStatus) X(GetDataAfterExp) X(GetDataAfterExpGPS) X(StartVideoCapture)      \
    X(StopVideoCapture) X(GetVideoData) X(GetVideoDataGPS) X(GetDroppedFrames)         \
    X(GetCameraSupportMode) X(GetCameraMode) X(SetCameraMode) X(SendSoftTrigger)       \
    X(SetTriggerOutputIOConf) X(GetTriggerOutputIOConf) X(PulseGuideOn)                \
    X(PulseGuideOff) X(EnableDarkSubtract) X(DisableDarkSubtract) X(GetGainOffset)     \
    X(GetLMHGainOffset) X(GPSGetData)

enum class Fn {
#define CAMSIM_ENUM(name) name,
    CAMSIM_FUNCTIONS(CAMSIM_ENUM)
#undef CAMSIM_ENUM
};

inline constexpr const char* kFunctionNames[] = {
#define CAMSIM_NAME(name) "ASI" #name,
    CAMSIM_FUNCTIONS(CAMSIM_NAME)
#undef CAMSIM_NAME
};

inline constexpr std::size_t kFunctionCount = sizeof(kFunctionNames) / sizeof(kFunctionNames[0]);

inline const char* function_name(Fn fn) { return kFunctionNames[static_cast<std::size_t>(fn)]; }

inline std::optional<Fn> function_by_name(std::string_view name) {
    for (std::size_t i = 0; i < kFunctionCount; ++i)
        if (name == kFunctionNames[i]) return static_cast<Fn>(i);
    return std::nullopt;
}

}  // namespace camsim

/* C declarations of the ZWO ASICamera2 library, written for this project.
 *
 * The records are filled in place by the vendor's library, so their layouts
 * must match it byte for byte: the static_asserts below pin them for LP64.
 * Enumerations and booleans are plain 32-bit ints on that ABI; declaring them
 * as int typedefs (not C enums) keeps out-of-range values well defined. */
#ifndef ORLICAM_ASICAMERA2_H
#define ORLICAM_ASICAMERA2_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int ASI_BOOL;
enum { ASI_FALSE = 0, ASI_TRUE = 1 };

typedef int ASI_BAYER_PATTERN;
enum { ASI_BAYER_RG = 0, ASI_BAYER_BG = 1, ASI_BAYER_GR = 2, ASI_BAYER_GB = 3 };

typedef int ASI_IMG_TYPE;
enum { ASI_IMG_RAW8 = 0, ASI_IMG_RGB24 = 1, ASI_IMG_RAW16 = 2, ASI_IMG_Y8 = 3, ASI_IMG_END = -1 };

typedef int ASI_GUIDE_DIRECTION;
enum { ASI_GUIDE_NORTH = 0, ASI_GUIDE_SOUTH = 1, ASI_GUIDE_EAST = 2, ASI_GUIDE_WEST = 3 };

typedef int ASI_FLIP_STATUS;
enum { ASI_FLIP_NONE = 0, ASI_FLIP_HORIZ = 1, ASI_FLIP_VERT = 2, ASI_FLIP_BOTH = 3 };

typedef int ASI_CAMERA_MODE;
enum {
    ASI_MODE_NORMAL = 0,
    ASI_MODE_TRIG_SOFT_EDGE = 1,
    ASI_MODE_TRIG_RISE_EDGE = 2,
    ASI_MODE_TRIG_FALL_EDGE = 3,
    ASI_MODE_TRIG_SOFT_LEVEL = 4,
    ASI_MODE_TRIG_HIGH_LEVEL = 5,
    ASI_MODE_TRIG_LOW_LEVEL = 6,
    ASI_MODE_END = -1
};

typedef int ASI_TRIG_OUTPUT_PIN;
enum { ASI_TRIG_OUTPUT_PINA = 0, ASI_TRIG_OUTPUT_PINB = 1, ASI_TRIG_OUTPUT_NONE = -1 };

typedef int ASI_ERROR_CODE;
enum {
    ASI_SUCCESS = 0,
    ASI_ERROR_INVALID_INDEX = 1,
    ASI_ERROR_INVALID_ID = 2,
    ASI_ERROR_INVALID_CONTROL_TYPE = 3,
    ASI_ERROR_CAMERA_CLOSED = 4,
    ASI_ERROR_CAMERA_REMOVED = 5,
    ASI_ERROR_INVALID_PATH = 6,
    ASI_ERROR_INVALID_FILEFORMAT = 7,
    ASI_ERROR_INVALID_SIZE = 8,
    ASI_ERROR_INVALID_IMGTYPE = 9,
    ASI_ERROR_OUTOF_BOUNDARY = 10,
    ASI_ERROR_TIMEOUT = 11,
    ASI_ERROR_INVALID_SEQUENCE = 12,
    ASI_ERROR_BUFFER_TOO_SMALL = 13,
    ASI_ERROR_VIDEO_MODE_ACTIVE = 14,
    ASI_ERROR_EXPOSURE_IN_PROGRESS = 15,
    ASI_ERROR_GENERAL_ERROR = 16,
    ASI_ERROR_INVALID_MODE = 17,
    ASI_ERROR_GPS_NOT_SUPPORTED = 18,
    ASI_ERROR_GPS_VER_ERR = 19,
    ASI_ERROR_GPS_FPGA_ERR = 20,
    ASI_ERROR_GPS_PARAM_OUT_OF_RANGE = 21,
    ASI_ERROR_GPS_DATA_INVALID = 22,
    ASI_ERROR_END = 23
};

typedef int ASI_CONTROL_TYPE;
enum {
    ASI_GAIN = 0,
    ASI_EXPOSURE = 1,
    ASI_GAMMA = 2,
    ASI_WB_R = 3,
    ASI_WB_B = 4,
    ASI_OFFSET = 5,
    ASI_BANDWIDTHOVERLOAD = 6,
    ASI_OVERCLOCK = 7,
    ASI_TEMPERATURE = 8,
    ASI_FLIP = 9,
    ASI_AUTO_MAX_GAIN = 10,
    ASI_AUTO_MAX_EXP = 11,
    ASI_AUTO_TARGET_BRIGHTNESS = 12,
    ASI_HARDWARE_BIN = 13,
    ASI_HIGH_SPEED_MODE = 14,
    ASI_COOLER_POWER_PERC = 15,
    ASI_TARGET_TEMP = 16,
    ASI_COOLER_ON = 17,
    ASI_MONO_BIN = 18,
    ASI_FAN_ON = 19,
    ASI_PATTERN_ADJUST = 20,
    ASI_ANTI_DEW_HEATER = 21,
    ASI_FAN_ADJUST = 22,
    ASI_PWRLED_BRIGNT = 23,
    ASI_USBHUB_RESET = 24,
    ASI_GPS_SUPPORT = 25,
    ASI_GPS_START_LINE = 26,
    ASI_GPS_END_LINE = 27,
    ASI_ROLLING_INTERVAL = 28
};

typedef int ASI_EXPOSURE_STATUS;
enum { ASI_EXP_IDLE = 0, ASI_EXP_WORKING = 1, ASI_EXP_SUCCESS = 2, ASI_EXP_FAILED = 3 };

typedef struct _ASI_CAMERA_INFO {
    char Name[64];
    int CameraID;
    long MaxHeight;
    long MaxWidth;
    ASI_BOOL IsColorCam;
    ASI_BAYER_PATTERN BayerPattern;
    int SupportedBins[16];
    ASI_IMG_TYPE SupportedVideoFormat[8];
    double PixelSize;
    ASI_BOOL MechanicalShutter;
    ASI_BOOL ST4Port;
    ASI_BOOL IsCoolerCam;
    ASI_BOOL IsUSB3Host;
    ASI_BOOL IsUSB3Camera;
    float ElecPerADU;
    int BitDepth;
    ASI_BOOL IsTriggerCam;
    char Unused[16];
} ASI_CAMERA_INFO;

typedef struct _ASI_CONTROL_CAPS {
    char Name[64];
    char Description[128];
    long MaxValue;
    long MinValue;
    long DefaultValue;
    ASI_BOOL IsAutoSupported;
    ASI_BOOL IsWritable;
    ASI_CONTROL_TYPE ControlType;
    char Unused[32];
} ASI_CONTROL_CAPS;

typedef struct _ASI_ID {
    unsigned char id[8];
} ASI_ID;
typedef ASI_ID ASI_SN;

typedef struct _ASI_SUPPORTED_MODE {
    ASI_CAMERA_MODE SupportedCameraMode[16];
} ASI_SUPPORTED_MODE;

typedef struct _ASI_DATE_TIME {
    int Year;
    int Month;
    int Day;
    int Hour;
    int Minute;
    int Second;
    int Msecond;
    int Usecond;
    char Unused[64];
} ASI_DATE_TIME;

typedef struct _ASI_GPS_DATA {
    ASI_DATE_TIME Datetime;
    double Latitude;
    double Longitude;
    int Altitude;
    int SatelliteNum;
    char Unused[64];
} ASI_GPS_DATA;

int ASIGetNumOfConnectedCameras(void);
ASI_BOOL ASICameraCheck(int iVID, int iPID);
ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO* pASICameraInfo, int iCameraIndex);
ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO* pASICameraInfo);
char* ASIGetSDKVersion(void);

ASI_ERROR_CODE ASIOpenCamera(int iCameraID);
ASI_ERROR_CODE ASIInitCamera(int iCameraID);
ASI_ERROR_CODE ASICloseCamera(int iCameraID);
ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID* pID);
ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID);
ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN* pSN);

ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int* piNumberOfControls);
ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex, ASI_CONTROL_CAPS* pControlCaps);
ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long* plValue, ASI_BOOL* pbAuto);
ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue, ASI_BOOL bAuto);

ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, ASI_IMG_TYPE Img_type);
ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int* piWidth, int* piHeight, int* piBin, ASI_IMG_TYPE* pImg_type);
ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY);
ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int* piStartX, int* piStartY);

ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark);
ASI_ERROR_CODE ASIStopExposure(int iCameraID);
ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS* pExpStatus);
ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char* pBuffer, long lBuffSize);
ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize, ASI_GPS_DATA* gpsData);

ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID);
ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID);
ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms);
ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char* pBuffer, long lBuffSize, int iWaitms, ASI_GPS_DATA* gpsData);
ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int* piDropFrames);

ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE* pSupportedMode);
ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE* mode);
ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode);
ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart);
ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT_PIN pin, ASI_BOOL bPinHigh, long lDelay, long lDuration);
ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT_PIN pin, ASI_BOOL* bPinHigh, long* lDelay, long* lDuration);

ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char* pcBMPPath);
ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID);
ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int* pOffset_HighestDR, int* pOffset_UnityGain, int* pGain_LowestRN, int* pOffset_LowestRN);
ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int* pLGain, int* pMGain, int* pHGain, int* pHOffset);
ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA* startLineGPSData, ASI_GPS_DATA* endLineGPSData);

#ifdef __cplusplus
}  /* extern "C" */

#include <cstddef>
static_assert(sizeof(long) == 8, "the record layouts below are those of LP64");
static_assert(sizeof(ASI_CAMERA_INFO) == 248);
static_assert(offsetof(ASI_CAMERA_INFO, CameraID) == 64);
static_assert(offsetof(ASI_CAMERA_INFO, MaxHeight) == 72);
static_assert(offsetof(ASI_CAMERA_INFO, MaxWidth) == 80);
static_assert(offsetof(ASI_CAMERA_INFO, IsColorCam) == 88);
static_assert(offsetof(ASI_CAMERA_INFO, BayerPattern) == 92);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedBins) == 96);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedVideoFormat) == 160);
static_assert(offsetof(ASI_CAMERA_INFO, PixelSize) == 192);
static_assert(offsetof(ASI_CAMERA_INFO, MechanicalShutter) == 200);
static_assert(offsetof(ASI_CAMERA_INFO, IsUSB3Camera) == 216);
static_assert(offsetof(ASI_CAMERA_INFO, ElecPerADU) == 220);
static_assert(offsetof(ASI_CAMERA_INFO, BitDepth) == 224);
static_assert(offsetof(ASI_CAMERA_INFO, IsTriggerCam) == 228);
static_assert(offsetof(ASI_CAMERA_INFO, Unused) == 232);
static_assert(sizeof(ASI_CONTROL_CAPS) == 264);
static_assert(offsetof(ASI_CONTROL_CAPS, Description) == 64);
static_assert(offsetof(ASI_CONTROL_CAPS, MaxValue) == 192);
static_assert(offsetof(ASI_CONTROL_CAPS, MinValue) == 200);
static_assert(offsetof(ASI_CONTROL_CAPS, DefaultValue) == 208);
static_assert(offsetof(ASI_CONTROL_CAPS, IsAutoSupported) == 216);
static_assert(offsetof(ASI_CONTROL_CAPS, IsWritable) == 220);
static_assert(offsetof(ASI_CONTROL_CAPS, ControlType) == 224);
static_assert(sizeof(ASI_ID) == 8);
static_assert(sizeof(ASI_SUPPORTED_MODE) == 64);
static_assert(sizeof(ASI_DATE_TIME) == 96);
static_assert(sizeof(ASI_GPS_DATA) == 184);
static_assert(offsetof(ASI_GPS_DATA, Latitude) == 96);
static_assert(offsetof(ASI_GPS_DATA, Longitude) == 104);
static_assert(offsetof(ASI_GPS_DATA, Altitude) == 112);
static_assert(offsetof(ASI_GPS_DATA, SatelliteNum) == 116);
#endif

#endif /* ORLICAM_ASICAMERA2_H */

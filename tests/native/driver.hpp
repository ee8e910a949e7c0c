// One step of a random sequence of calls over the simulator's C entry points, with its
// arguments taken from a byte source: the fuzzer's input or a seeded generator.
// Returns false on a fault the simulator must never show: an unknown result code, or a
// byte written past the buffer size a fetch was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ASICamera2.h"

extern "C" {
void camsim_reset(void);
void camsim_set_pacing(int on);
int camsim_trigger_input(int camera, int level);
int camsim_set_gps_fix(int camera, int on);
int camsim_set_faults(const char* text, char* error, std::size_t len);
}

namespace drive {

class Bytes {
public:
    virtual ~Bytes() = default;
    virtual std::uint8_t next() = 0;
    int below(int n) { return next() % n; }
    int u16() { return next() | next() << 8; }
};

constexpr std::size_t kCanary = 64;
constexpr std::uint8_t kCanaryByte = 0xA5;

inline bool known(int code, const char* what) {
    if (code >= ASI_SUCCESS && code < ASI_ERROR_END) return true;
    std::fprintf(stderr, "%s returned %d, not an ASI error code\n", what, code);
    return false;
}

inline long frame_size(int camera) {
    int w = 0, h = 0, bin = 0;
    ASI_IMG_TYPE type = ASI_IMG_RAW8;
    if (ASIGetROIFormat(camera, &w, &h, &bin, &type) != ASI_SUCCESS) return 16;
    long per = type == ASI_IMG_RGB24 ? 3 : type == ASI_IMG_RAW16 ? 2 : 1;
    return long(w) * h * per;
}

// A buffer of the ROI's size (sometimes a little less or more), with a guard zone after it.
template <class Fetch>
bool fetch_into(Bytes& in, int camera, const char* what, Fetch&& fetch) {
    long size = frame_size(camera);
    switch (in.below(4)) {
    case 0: size -= 1 + in.below(8); break;
    case 1: size += in.below(16); break;
    default: break;
    }
    if (size < 0) size = 0;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(size) + kCanary, kCanaryByte);
    int code = fetch(buf.data(), size);
    if (!known(code, what)) return false;
    for (std::size_t i = static_cast<std::size_t>(size); i < buf.size(); ++i)
        if (buf[i] != kCanaryByte) {
            std::fprintf(stderr, "%s wrote past the %ld bytes it was given\n", what, size);
            return false;
        }
    return true;
}

// A fault schedule of one to three items put together from words, good and bad, with
// short times so that a sequence stays quick.
inline void set_faults(Bytes& in) {
    static const char* const kinds[] = {"unplug", "fail", "hang", "video-timeout", "glitch", "seed=3", "bogus"};
    static const char* const words[] = {"camera=0", "camera=1", "camera=2", "at=0", "at=0.01", "after=1",
                                        "after=0", "for=0.02", "for=x", "every=2", "p=0.5", "exposure=1,2",
                                        "kind=zero", "kind=shift", "every=0", "=", ";"};
    std::string text;
    for (int item = 0, items = 1 + in.below(3); item < items; ++item) {
        text += kinds[in.below(7)];
        for (int w = 0, n = in.below(5); w < n; ++w) (text += ' ') += words[in.below(17)];
        text += "; ";
    }
    char error[128];
    camsim_set_faults(text.c_str(), error, sizeof error);
}

// max_wait_ms bounds every frame wait so a sequence always ends.
inline bool step(Bytes& in, int max_wait_ms) {
    const int cam = in.below(9) == 0 ? 2 : in.below(2);  // now and then an id with no camera
    const int op = in.below(25);
    ASI_GPS_DATA gps;
    switch (op) {
    case 0: return known(ASIOpenCamera(cam), "ASIOpenCamera");
    case 1: return known(ASIInitCamera(cam), "ASIInitCamera");
    case 2: return in.below(3) == 0 ? known(ASICloseCamera(cam), "ASICloseCamera") : true;
    case 3: {
        static const int bins[] = {1, 2, 3, 4};
        int w = 8 * (1 + in.below(48)), h = 2 * (1 + in.below(96));
        if (in.below(16) == 0) w += in.below(8);  // now and then a size the camera refuses
        return known(ASISetROIFormat(cam, w, h, bins[in.below(4)], static_cast<ASI_IMG_TYPE>(in.below(5) - 1)),
                     "ASISetROIFormat");
    }
    case 4: return known(ASIStartVideoCapture(cam), "ASIStartVideoCapture");
    case 5: return known(ASIStopVideoCapture(cam), "ASIStopVideoCapture");
    case 6: {
        int wait = in.below(max_wait_ms + 1);
        return fetch_into(in, cam, "ASIGetVideoData",
                          [&](unsigned char* b, long n) { return ASIGetVideoData(cam, b, n, wait); });
    }
    case 7: {
        int wait = in.below(max_wait_ms + 1);
        return fetch_into(in, cam, "ASIGetVideoDataGPS",
                          [&](unsigned char* b, long n) { return ASIGetVideoDataGPS(cam, b, n, wait, &gps); });
    }
    case 8: return known(ASIStartExposure(cam, in.below(2) ? ASI_TRUE : ASI_FALSE), "ASIStartExposure");
    case 9: {
        ASI_EXPOSURE_STATUS st;
        return known(ASIGetExpStatus(cam, &st), "ASIGetExpStatus");
    }
    case 10:
        return fetch_into(in, cam, "ASIGetDataAfterExp",
                          [&](unsigned char* b, long n) { return ASIGetDataAfterExp(cam, b, n); });
    case 11: return known(ASIStopExposure(cam), "ASIStopExposure");
    case 12: return known(ASISetCameraMode(cam, static_cast<ASI_CAMERA_MODE>(in.below(8) - 1)), "ASISetCameraMode");
    case 13: return known(ASISendSoftTrigger(cam, in.below(2) ? ASI_TRUE : ASI_FALSE), "ASISendSoftTrigger");
    case 14: return known(camsim_trigger_input(cam, in.below(2)), "camsim_trigger_input");
    case 15:
        return known(ASISetControlValue(cam, ASI_EXPOSURE, 50 + 40 * in.below(64), ASI_FALSE), "ASISetControlValue");
    case 16: {
        int dropped;
        return known(ASIGetDroppedFrames(cam, &dropped), "ASIGetDroppedFrames");
    }
    case 17: {
        auto dir = static_cast<ASI_GUIDE_DIRECTION>(in.below(5));
        return known(in.below(2) ? ASIPulseGuideOn(cam, dir) : ASIPulseGuideOff(cam, dir), "ASIPulseGuide");
    }
    case 18: return known(ASISetStartPos(cam, in.u16() % 4200 - 8, in.u16() % 2900 - 8), "ASISetStartPos");
    case 19: camsim_set_pacing(in.below(2)); return true;
    case 20: {
        long v;
        ASI_BOOL a;
        return known(ASIGetControlValue(cam, static_cast<ASI_CONTROL_TYPE>(in.below(30)), &v, &a),
                     "ASIGetControlValue");
    }
    case 21:
        return known(ASISetControlValue(cam, static_cast<ASI_CONTROL_TYPE>(in.below(30)), in.u16() - 1000,
                                        in.below(2) ? ASI_TRUE : ASI_FALSE),
                     "ASISetControlValue");
    case 22: {
        ASI_GPS_DATA end;
        return known(ASIGPSGetData(cam, &gps, &end), "ASIGPSGetData");
    }
    case 23: return known(camsim_set_gps_fix(cam, in.below(2)), "camsim_set_gps_fix");
    default:
        if (in.below(4) == 0) set_faults(in);
        return true;
    }
}

}  // namespace drive

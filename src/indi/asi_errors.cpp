#include "asi_errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ASICamera2.h"

namespace asi {
namespace {

struct Row {
    int code;
    const char *name;
    const char *cause;
};

// One row per code the SDK returns, with what usually causes it.
constexpr Row kRows[] = {
    {ASI_SUCCESS, "ASI_SUCCESS", "no error"},
    {ASI_ERROR_INVALID_INDEX, "ASI_ERROR_INVALID_INDEX", "no camera at that index"},
    {ASI_ERROR_INVALID_ID, "ASI_ERROR_INVALID_ID", "no camera with that id"},
    {ASI_ERROR_INVALID_CONTROL_TYPE, "ASI_ERROR_INVALID_CONTROL_TYPE", "the camera lacks that control"},
    {ASI_ERROR_CAMERA_CLOSED, "ASI_ERROR_CAMERA_CLOSED", "the camera is not open"},
    {ASI_ERROR_CAMERA_REMOVED, "ASI_ERROR_CAMERA_REMOVED", "the camera was unplugged or lost power"},
    {ASI_ERROR_INVALID_PATH, "ASI_ERROR_INVALID_PATH", "the file does not exist"},
    {ASI_ERROR_INVALID_FILEFORMAT, "ASI_ERROR_INVALID_FILEFORMAT", "the file is not a dark frame"},
    {ASI_ERROR_INVALID_SIZE, "ASI_ERROR_INVALID_SIZE", "the region breaks the camera's size rules"},
    {ASI_ERROR_INVALID_IMGTYPE, "ASI_ERROR_INVALID_IMGTYPE", "format or binning not supported"},
    {ASI_ERROR_OUTOF_BOUNDARY, "ASI_ERROR_OUTOF_BOUNDARY", "the region leaves the sensor"},
    {ASI_ERROR_TIMEOUT, "ASI_ERROR_TIMEOUT", "the frame did not arrive in time"},
    {ASI_ERROR_INVALID_SEQUENCE, "ASI_ERROR_INVALID_SEQUENCE", "the call does not fit the camera's state"},
    {ASI_ERROR_BUFFER_TOO_SMALL, "ASI_ERROR_BUFFER_TOO_SMALL", "the buffer is smaller than the frame"},
    {ASI_ERROR_VIDEO_MODE_ACTIVE, "ASI_ERROR_VIDEO_MODE_ACTIVE", "video capture is running"},
    {ASI_ERROR_EXPOSURE_IN_PROGRESS, "ASI_ERROR_EXPOSURE_IN_PROGRESS", "an exposure is running"},
    {ASI_ERROR_GENERAL_ERROR, "ASI_ERROR_GENERAL_ERROR", "the camera refused the request"},
    {ASI_ERROR_INVALID_MODE, "ASI_ERROR_INVALID_MODE", "not possible in the current camera mode"},
    {ASI_ERROR_GPS_NOT_SUPPORTED, "ASI_ERROR_GPS_NOT_SUPPORTED", "the camera has no GPS"},
    {ASI_ERROR_GPS_VER_ERR, "ASI_ERROR_GPS_VER_ERR", "GPS firmware version mismatch"},
    {ASI_ERROR_GPS_FPGA_ERR, "ASI_ERROR_GPS_FPGA_ERR", "GPS FPGA failure"},
    {ASI_ERROR_GPS_PARAM_OUT_OF_RANGE, "ASI_ERROR_GPS_PARAM_OUT_OF_RANGE", "GPS setting out of range"},
    {ASI_ERROR_GPS_DATA_INVALID, "ASI_ERROR_GPS_DATA_INVALID", "no valid GPS data"},
};

}  // namespace

const char *describe(int code) {
    static thread_local char line[128];
    for (const Row &row : kRows)
        if (row.code == code) {
            std::snprintf(line, sizeof line, "%s (%s)", row.name, row.cause);
            return line;
        }
    std::snprintf(line, sizeof line, "SDK error %d", code);
    return line;
}

int code_named(const char *text) {
    if (!text || !*text) return -1;
    char *end = nullptr;
    long number = std::strtol(text, &end, 10);
    if (*end == '\0') return number >= 0 && number < ASI_ERROR_END ? static_cast<int>(number) : -1;
    for (const Row &row : kRows)
        if (std::strcmp(row.name, text) == 0 || std::strcmp(row.name + std::strlen("ASI_ERROR_"), text) == 0)
            return row.code;
    return -1;
}

}  // namespace asi

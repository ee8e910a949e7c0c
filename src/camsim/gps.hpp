// GPS time stamps for the GPS-capable model.
#pragma once
#include <chrono>

#include "ASICamera2.h"

namespace camsim {

struct GpsReceiver {
    bool fix = true;
    double latitude = 52.5200;
    double longitude = 13.4050;
    int altitude_m = 34;
    int satellites = 9;
};

// A record stamped with `t` (UTC, to the microsecond) and the receiver's position.
ASI_GPS_DATA gps_record(std::chrono::system_clock::time_point t, const GpsReceiver& rx);

}  // namespace camsim

#include "gps.hpp"

#include <ctime>

namespace camsim {

ASI_GPS_DATA gps_record(std::chrono::system_clock::time_point t, const GpsReceiver& rx) {
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(us / 1000000);
    long frac = static_cast<long>(us % 1000000);
    if (frac < 0) {
        frac += 1000000;
        --secs;
    }
    std::tm utc{};
    gmtime_r(&secs, &utc);

    ASI_GPS_DATA d{};
    d.Datetime.Year = utc.tm_year + 1900;
    d.Datetime.Month = utc.tm_mon + 1;
    d.Datetime.Day = utc.tm_mday;
    d.Datetime.Hour = utc.tm_hour;
    d.Datetime.Minute = utc.tm_min;
    d.Datetime.Second = utc.tm_sec;
    d.Datetime.Msecond = static_cast<int>(frac / 1000);
    d.Datetime.Usecond = static_cast<int>(frac % 1000);
    d.Latitude = rx.latitude;
    d.Longitude = rx.longitude;
    d.Altitude = rx.altitude_m;
    d.SatelliteNum = rx.satellites;
    return d;
}

}  // namespace camsim

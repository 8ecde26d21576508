#pragma once

#include <cstdint>
#include <string>

namespace velmora::platform {

/// The absolute-time clock: wall-clock seconds since the Unix epoch, with sub-second precision.
double absoluteTimeNow();

/// Milliseconds since the Unix epoch, wall clock.
int64_t epochMillisNow();

/// The local time as "yyyyMMddHHmmssSSS" (17 digits), as names made from a moment use it; now,
/// or at a moment given in milliseconds since the epoch.
std::string localDateStamp();
std::string localDateStamp(int64_t epochMillis);

/// The local time formatted with a strftime pattern, then the milliseconds as three digits
/// after `millisSeparator`.
std::string localTimeText(const char* pattern, const char* millisSeparator);
std::string localTimeText(int64_t epochMillis, const char* pattern, const char* millisSeparator);

}  // namespace velmora::platform

#pragma once

#include <string>

namespace velmora::platform {

/// The absolute-time clock: wall-clock seconds since the Unix epoch, with sub-second precision.
double absoluteTimeNow();

/// The local time as "yyyyMMddHHmmssSSS" (17 digits), as names made from a moment use it.
std::string localDateStamp();

/// The local time formatted with a strftime pattern, then the milliseconds as three digits
/// after `millisSeparator`.
std::string localTimeText(const char* pattern, const char* millisSeparator);

}  // namespace velmora::platform

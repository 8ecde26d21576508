#pragma once

#include <functional>
#include <string>

#include "velmora/platform.h"

namespace velmora::platform {

/// The system log facility: one line to standard error with a local time stamp and the process
/// and thread ids, written in one call. While a sink is installed (velmora/platform.h) it receives
/// the bare message instead.
void systemLog(const std::string& message);

/// Standard output as the log levels use it: the whole text in one write, with standard
/// output's own buffering.
void writeStandardOutput(const std::string& text);

}  // namespace velmora::platform

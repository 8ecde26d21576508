#pragma once

#include <functional>
#include <string>

#include "velmora/export.h"
#include "velmora/platform.h"

namespace velmora::platform {

/// The system log facility: one line to standard error with a local time stamp and the process
/// and thread ids, written in one call. While a sink is installed (velmora/platform.h) it receives
/// the bare message instead.
VELMORA_EXPORT void systemLog(const std::string& message);

/// Standard output as the log levels use it: the whole text in one write, with standard
/// output's own buffering.
VELMORA_EXPORT void writeStandardOutput(const std::string& text);

}  // namespace velmora::platform

#pragma once

#include <functional>
#include <string>

#include "velmora/export.h"

// What a host wires into the SDK's platform layer.

namespace velmora::dispatch {

using Task = std::function<void()>;

/// Installs the host's executor for main-queue tasks, so that completions the SDK posts to the
/// main queue reach the host's UI thread. The executor must run each task exactly once, one at a
/// time, in the order given. An empty function restores the library's own main thread.
VELMORA_EXPORT void setMainQueueExecutor(std::function<void(Task)> executor);

/// True while the calling thread runs a main-queue task.
VELMORA_EXPORT bool isMainQueue();

}  // namespace velmora::dispatch

namespace velmora::platform {

/// Redirects the system log: while a sink is installed it receives each bare message (no time
/// stamp, no line end) instead of standard error. An empty function restores standard error.
VELMORA_EXPORT void setSystemLogSink(std::function<void(const std::string&)> sink);

/// The directory taken as the host application's main bundle (where "Frameworks/<module>.framework"
/// lives). By default the directory of the running executable; an empty path restores that.
VELMORA_EXPORT void setMainBundlePath(const std::string& path);
VELMORA_EXPORT std::string mainBundlePath();

}  // namespace velmora::platform

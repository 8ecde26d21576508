#pragma once

#include <cstdint>

#include "velmora/platform.h"

// Tasks that run once a time has passed, without a thread of their own waiting for each.
namespace velmora::dispatch {

/// Runs the task on the global queue once `seconds` have passed (at once for none or a value that
/// is not a number; never for an infinite one). One thread waits for every such task. Answers an
/// id for `cancelAfter`.
uint64_t after(double seconds, Task task);
/// Drops a task of `after` that has not started; false when it has, or was dropped already.
bool cancelAfter(uint64_t id);

}  // namespace velmora::dispatch

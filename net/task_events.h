#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {
class QelURLSessionTask;
namespace dispatch {
class OperationQueue;
}
}  // namespace velmora

namespace velmora::detail {

struct TaskCore;

/// One event of a task: a download progress step, or a hook to run.
struct TaskEvent {
    bool isProgress = false;
    int64_t bytesWritten = 0;
    int64_t totalWritten = 0;
    int64_t totalExpected = 0;
    std::function<void()> run;
};

/// A task's events, delivered in order on the callback queue by at most one runner at a time.
struct EventChain {
    std::mutex mutex;
    std::deque<TaskEvent> events;
    bool drainScheduled = false;
};

/// Appends the events to the task's chain, starting a runner when none is at work.
void postEvents(dispatch::OperationQueue& queue, const std::shared_ptr<QelURLSessionTask>& task,
                std::vector<TaskEvent> events);

/// Posts a progress step, merged into the last one when that still waits for delivery.
void postProgress(dispatch::OperationQueue& queue, const std::shared_ptr<QelURLSessionTask>& task,
                  TaskEvent event);

/// Logs, once, that a callback of the task threw, naming the task (token redacted).
void logCallbackThrow(const TaskCore& core, const std::exception_ptr& thrown);

/// Runs a callback that is not ours; whatever it throws is logged and goes no further, so the
/// task's clean-up after it still runs.
template <class Callback>
void callGuarded(const TaskCore& core, Callback&& callback) {
    try {
        callback();
    } catch (...) {
        logCallbackThrow(core, std::current_exception());
    }
}

}  // namespace velmora::detail

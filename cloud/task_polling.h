#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <string>

#include "velmora/cancellation.h"
#include "velmora/cloud_service.h"

// The result requests of a generation task with an end: the builder kit polls under its own
// time limit, which the public form (asking again for as long as the task runs) cannot honour.
namespace velmora::detail {

inline constexpr const char* kTaskInfoMethod = "getTaskInfoWithTaskId:completion:";
inline constexpr const char* kBuilderPollingMethod = "getTaskInfoWithTaskId:overTime:completion:";

/// Seconds between the answer "still running" and the next result request of the same task: the
/// wait a generation makes before its first result request.
inline constexpr double kResultRequestInterval = 1.0;

struct TaskPollLimit {
    /// Wall-clock seconds (platform::absoluteTimeNow); no request is sent once it has passed.
    double deadline = std::numeric_limits<double>::infinity();
    /// When set, no further request is sent.
    std::shared_ptr<const std::atomic<bool>> stop;
    /// When set, a cancel ends the request in flight and no further request is sent.
    QelCancellationTokenPtr cancellation = nullptr;

    bool reached() const;
};

struct CloudServiceAccess {
    /// `generateAvatarOnlineWithImage` with the task id called back, whose upload a cancel of
    /// `cancellation` (may be null) ends with -999.
    static void generateAvatarOnline(const std::shared_ptr<QelCloudService>& service,
                                     const QelImagePtr& image, int64_t type,
                                     QelCancellationTokenPtr cancellation,
                                     QelCloudService::StringCompletion completion);
};

/// Asks for the task's result, again `kResultRequestInterval` after each 120004 or 120005, until an
/// answer ends it or the limit is reached; then the completion gets 999999 "<builder's polling
/// operation> 超时", at the deadline when it falls within a wait. A request in flight is not cut
/// short here (`cancellation` does that); the completion runs exactly once.
void getTaskInfoWithLimit(const std::shared_ptr<QelCloudService>& service,
                          const std::string& taskId, const TaskPollLimit& limit,
                          QelCloudService::StringCompletion completion);

}  // namespace velmora::detail

#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velmora/cancellation.h"
#include "velmora/error.h"

namespace velmora {
class QelCloudService;
}

// The builder's result polling under a time limit, apart from the transport so that the reply
// handling can be driven with any answer.
namespace velmora::builder {

inline constexpr const char* kPollingMethod = "getTaskInfoWithTaskId:overTime:completion:";

using Reply = std::function<void(const QelErrorPtr& error, const std::optional<std::string>& text)>;

/// Sends one result request for the task and calls `reply` once with its answer. It may ask
/// again while the task is running, but sends nothing once the wall clock has passed
/// `deadline`, answering the time-out record (`timeOutError()`) instead.
using ResultRequest = std::function<void(const std::string& taskId, double deadline, Reply reply)>;

/// The cloud's result request on `service` (the one that started the task: a build keeps it).
/// A cancel of `cancellation` (may be null) ends the request in flight and sends no other.
ResultRequest cloudResultRequest(std::shared_ptr<QelCloudService> service,
                                 QelCancellationTokenPtr cancellation = nullptr);

/// 999999 "getTaskInfoWithTaskId:overTime:completion: 超时".
QelErrorPtr timeOutError();

/// Polls for the task's result until an answer ends it or `overTime` seconds have passed before
/// a request (a limit that is not a number has passed at once). Holds no thread while a request
/// is in flight: each step runs on the thread that delivered the previous answer. `completion`
/// (may be empty) is called exactly once; answers arriving after that are dropped.
void pollTaskResult(const std::string& taskId, double overTime, ResultRequest request,
                    Reply completion);

}  // namespace velmora::builder

#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velmora/cancellation.h"
#include "velmora/error.h"

namespace velmora {
class QelCloudService;
namespace detail {
class CancelHook;
}
}  // namespace velmora

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

/// Work that ends at a time limit or on a cancel, whichever comes first, with one completion: the
/// work's own answer (`finish`), the time-out record once `seconds` have passed (at once for a
/// limit that is not positive), or -999 on a cancel of `cancellation` (may be null). At the limit
/// and on a cancel, `stop()` is cancelled first, which cuts whatever request carries it.
class LimitedRun : public std::enable_shared_from_this<LimitedRun> {
  public:
    static std::shared_ptr<LimitedRun> start(double seconds, QelCancellationTokenPtr cancellation,
                                             Reply completion);

    /// Hand it to every request of the work.
    const QelCancellationTokenPtr& stop() const { return stop_; }
    /// Seconds left before the limit.
    double secondsLeft() const;
    /// Whether the completion has been called or claimed.
    bool ended() const { return ended_.load(); }
    /// The work's own answer; dropped when the run has ended.
    void finish(const QelErrorPtr& error, const std::optional<std::string>& text);
    /// `finish` as a reply.
    Reply reply();

  private:
    LimitedRun(double seconds, Reply completion);
    /// Ends the run unless it has ended: stops the work, then calls the completion, on the global
    /// queue when `later`.
    void end(const QelErrorPtr& error, const std::optional<std::string>& text, bool later);

    const double deadline_;  // steady clock, seconds
    Reply completion_;
    const QelCancellationTokenPtr stop_;
    std::shared_ptr<detail::CancelHook> hook_;  // the host's cancel, while the run lasts
    std::atomic<uint64_t> timer_{0};
    std::atomic<bool> ended_{false};
};

}  // namespace velmora::builder

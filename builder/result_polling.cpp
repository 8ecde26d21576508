#include "builder/result_polling.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "cloud/authorised_request.h"
#include "cloud/task_polling.h"
#include "core/format.h"
#include "net/url_error.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/timers.h"
#include "velmora/cloud_service.h"
#include "velmora/tool.h"

namespace velmora::builder {
namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isStillRunning(const QelErrorPtr& error) {
    return error && (error->code() == 120004 || error->code() == 120005);
}

bool isTimeOut(const QelErrorPtr& error) {
    static const std::string text = detail::formatMessage("%@ 超时", {kPollingMethod});
    return error && error->code() == QelErrorCodeFailure && error->localizedDescription() == text;
}

class Poll : public std::enable_shared_from_this<Poll> {
  public:
    Poll(std::string taskId, double deadline, ResultRequest request, Reply completion)
        : taskId_(std::move(taskId)),
          deadline_(deadline),
          request_(std::move(request)),
          completion_(std::move(completion)) {}

    void step() {
        // Written so that a deadline that is not a number has passed.
        if (!(platform::absoluteTimeNow() <= deadline_)) {
            finish(timeOutError(), std::nullopt);
            return;
        }
        // One answer per request: a second one must not start a second chain of requests.
        auto self = shared_from_this();
        auto answered = std::make_shared<std::atomic<bool>>(false);
        request_(
            taskId_, deadline_,
            [self, answered](const QelErrorPtr& error, const std::optional<std::string>& text) {
                if (answered->exchange(true)) return;
                self->reply(error, text);
            });
    }

  private:
    void reply(const QelErrorPtr& error, const std::optional<std::string>& text) {
        if (isStillRunning(error)) {
            step();
            return;
        }
        if (isTimeOut(error)) {
            finish(error, std::nullopt);
            return;
        }
        if (error) {
            finish(QelTool::errorWithCode(
                       static_cast<int32_t>(error->code()),
                       detail::formatMessage("%@ 出错,%@",
                                             {kPollingMethod, QelTool::errorMessage(error)})),
                   std::nullopt);
            return;
        }
        if (text) {
            finish(nullptr, text);
            return;
        }
        // An answer with neither would otherwise leave the build waiting for ever.
        finish(QelTool::errorWithCode(QelErrorCodeFailure,
                                      detail::formatMessage("%@ 返回值为空", {kPollingMethod})),
               std::nullopt);
    }

    void finish(const QelErrorPtr& error, const std::optional<std::string>& text) {
        if (finished_.exchange(true)) return;
        Reply completion = std::move(completion_);
        if (completion) completion(error, text);
    }

    const std::string taskId_;
    const double deadline_;
    ResultRequest request_;
    Reply completion_;
    std::atomic<bool> finished_{false};
};

}  // namespace

QelErrorPtr timeOutError() {
    return QelTool::errorWithCode(QelErrorCodeFailure,
                                  detail::formatMessage("%@ 超时", {kPollingMethod}));
}

ResultRequest cloudResultRequest(std::shared_ptr<QelCloudService> service,
                                 QelCancellationTokenPtr cancellation) {
    return [service, cancellation](const std::string& taskId, double deadline, Reply reply) {
        detail::getTaskInfoWithLimit(service, taskId,
                                     detail::TaskPollLimit{deadline, nullptr, cancellation},
                                     std::move(reply));
    };
}

void pollTaskResult(const std::string& taskId, double overTime, ResultRequest request,
                    Reply completion) {
    const double deadline = platform::absoluteTimeNow() + overTime;
    std::make_shared<Poll>(taskId, deadline, std::move(request), std::move(completion))->step();
}

LimitedRun::LimitedRun(double seconds, Reply completion)
    : deadline_(steadySeconds() + seconds),
      completion_(std::move(completion)),
      stop_(QelCancellationToken::create()) {}

std::shared_ptr<LimitedRun> LimitedRun::start(double seconds, QelCancellationTokenPtr cancellation,
                                              Reply completion) {
    std::shared_ptr<LimitedRun> run(new LimitedRun(seconds, std::move(completion)));
    // Written so that a limit that is not a number has passed.
    if (!(seconds > 0)) {
        run->end(timeOutError(), std::nullopt, true);
        return run;
    }
    if (cancellation) run->hook_ = std::make_shared<detail::CancelHook>(std::move(cancellation));
    run->timer_.store(
        dispatch::after(seconds, [run] { run->end(timeOutError(), std::nullopt, false); }));
    // Not on the canceller's thread, which may hold locks of its own.
    if (run->hook_)
        run->hook_->attach([weak = std::weak_ptr<LimitedRun>(run)] {
            if (auto self = weak.lock()) self->end(detail::cancellationError(), std::nullopt, true);
        });
    return run;
}

double LimitedRun::secondsLeft() const {
    return deadline_ - steadySeconds();
}

void LimitedRun::finish(const QelErrorPtr& error, const std::optional<std::string>& text) {
    end(error, text, false);
}

Reply LimitedRun::reply() {
    return [self = shared_from_this()](const QelErrorPtr& error,
                                       const std::optional<std::string>& text) {
        self->finish(error, text);
    };
}

void LimitedRun::end(const QelErrorPtr& error, const std::optional<std::string>& text, bool later) {
    if (ended_.exchange(true)) return;
    dispatch::cancelAfter(timer_.load());
    if (hook_) hook_->answered();
    // The request in flight ends with -999, which finds the run ended and is dropped.
    stop_->cancel();
    Reply completion = std::move(completion_);
    if (!completion) return;
    if (later)
        dispatch::globalQueue().async([completion, error, text] { completion(error, text); });
    else
        completion(error, text);
}

}  // namespace velmora::builder

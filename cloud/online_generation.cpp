// Avatar generation from a photograph, its result requests, and fetching a stored cloud avatar.
#include <string>

#include "cloud/guarded_handler.h"
#include "cloud/json_text.h"
#include "cloud/private.h"
#include "cloud/task_polling.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "platform/clock.h"
#include "platform/timers.h"
#include "velmora/networking.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

constexpr const char* kGenerateMethod =
    "generateAvatarOnlineWithImage:type:callBackTaskId:completion:";
constexpr const char* kAvatarOnlineMethod = "getAvatarOnlineWithAvatarId:completion:";

QelErrorPtr failure(const std::string& message) {
    return QelTool::errorWithCode(QelErrorCodeFailure, message);
}

bool isStillRunning(const QelErrorPtr& error) {
    return error && (error->code() == 120004 || error->code() == 120005);
}

QelErrorPtr pollingTimeOut() {
    return failure(detail::formatMessage("%@ 超时", {detail::kBuilderPollingMethod}));
}

}  // namespace

namespace detail {

bool TaskPollLimit::reached() const {
    if (stop && stop->load()) return true;
    if (cancellation && cancellation->isCancelled()) return true;
    return platform::absoluteTimeNow() > deadline;
}

namespace {

// One result request, and the next after a pause while the task runs; `completion` is called once.
void askForResult(const std::shared_ptr<QelCloudService>& service, const std::string& taskId,
                  const TaskPollLimit& limit, const QelCloudService::StringCompletion& completion) {
    if (limit.reached()) {
        if (completion) completion(pollingTimeOut(), std::nullopt);
        return;
    }
    AuthorisedRequest request;
    request.method = AuthorisedRequest::Method::Post;
    request.path = "v1/orv/download";
    request.body = Json{{"taskid", taskId}};
    request.cancellation = limit.cancellation;
    request.maxAnswerBytes = kMaxDescriptionAnswerBytes;
    // Failures keep their own rule here: no token renewal.
    sendTokened(
        service, request,
        [completion](const Json& envelope) {
            runGuarded(
                kTaskInfoMethod,
                [&] {
                    const Json& data = jsonMemberRef(envelope, "data");
                    bool tooLarge = false;
                    const auto text = QelCloudService::safeData(data)
                                          ? descriptionText(data, tooLarge)
                                          : std::nullopt;
                    if (!completion) return;
                    if (text)
                        completion(nullptr, text);
                    else
                        completion(failure(tooLarge ? descriptionTooLarge(kTaskInfoMethod +
                                                                          std::string(" 返回值"))
                                                    : formatMessage("%@ 返回值中 data 为空",
                                                                    {kTaskInfoMethod})),
                                   std::nullopt);
                },
                [&](const QelErrorPtr& error) {
                    if (completion) completion(error, std::nullopt);
                });
        },
        [service, taskId, limit, completion](const QelErrorPtr& error) {
            if (isStillRunning(error)) {
                // A running task is asked again after a pause, not at the pace the cloud answers;
                // a limit that passes first ends the asking when it does.
                const double left = limit.deadline - platform::absoluteTimeNow();
                if (left < kResultRequestInterval) {
                    dispatch::after(left, [completion] {
                        if (completion) completion(pollingTimeOut(), std::nullopt);
                    });
                    return;
                }
                dispatch::after(kResultRequestInterval, [service, taskId, limit, completion] {
                    askForResult(service, taskId, limit, completion);
                });
                return;
            }
            if (completion)
                completion(narrowedError(
                               error, formatMessage("%@ 出错,%@", {kTaskInfoMethod,
                                                                   QelTool::errorMessage(error)})),
                           std::nullopt);
        });
}

}  // namespace

void getTaskInfoWithLimit(const std::shared_ptr<QelCloudService>& service,
                          const std::string& taskId, const TaskPollLimit& limit,
                          QelCloudService::StringCompletion completion) {
    if (taskId.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "taskId 为空"),
                       std::nullopt);
        return;
    }
    askForResult(service, taskId, limit, onceOnly(std::move(completion)));
}

void CloudServiceAccess::generateAvatarOnline(const std::shared_ptr<QelCloudService>& service,
                                              const QelImagePtr& image, int64_t type,
                                              QelCancellationTokenPtr cancellation,
                                              QelCloudService::StringCompletion completion) {
    QelCloudService::Impl::generateOnline(service, image, type, true, std::move(cancellation),
                                          std::move(completion));
}

}  // namespace detail

void QelCloudService::generateAvatarOnlineWithImage(const QelImagePtr& image, int64_t type,
                                                    bool callBackTaskId,
                                                    StringCompletion completion) {
    Impl::generateOnline(shared_from_this(), image, type, callBackTaskId, nullptr,
                         std::move(completion));
}

void QelCloudService::Impl::generateOnline(const std::shared_ptr<QelCloudService>& self,
                                           const QelImagePtr& image, int64_t type,
                                           bool callBackTaskId,
                                           QelCancellationTokenPtr cancellation,
                                           StringCompletion completion) {
    // A photograph that does not encode counts as missing: an empty image part would only be
    // refused by the cloud.
    std::optional<QelBytes> png;
    if (image) png = image->pngData();
    if (!png || png->empty()) {
        if (completion) completion(failure("avatar信息必须完整才能在线生成！"), std::nullopt);
        return;
    }
    detail::AuthorisedRequest request;
    request.method = detail::AuthorisedRequest::Method::Multipart;
    request.path = "v1/orv/upload";
    request.parts = {detail::pngPart("image", "pic.png", std::move(*png)),
                     detail::textPart("version", "2022-03-01"),
                     detail::textPart("gender", std::to_string(type))};
    request.cancellation = std::move(cancellation);
    completion = detail::onceOnly(std::move(completion));
    self->d_->renewal.send(
        self, std::move(request), kGenerateMethod,
        [self, callBackTaskId, completion](const Json& envelope) {
            detail::runGuarded(
                kGenerateMethod,
                [&] {
                    const Json data = jsonMember(envelope, "data");
                    const Json taskId = jsonMember(data, "taskid");
                    if (!safeData(data) || !taskId.is_string() ||
                        taskId.get<std::string>().empty()) {
                        if (completion)
                            completion(failure("avatar在线生成时获取 taskId 失败！"), std::nullopt);
                        return;
                    }
                    if (callBackTaskId) {
                        if (completion) completion(nullptr, taskId.get<std::string>());
                        return;
                    }
                    // The cloud needs a moment before a result can be asked for.
                    dispatch::sleepFor(detail::kResultRequestInterval);
                    self->getTaskInfoWithTaskId(taskId.get<std::string>(), completion);
                },
                [&](const QelErrorPtr& error) {
                    if (completion) completion(error, std::nullopt);
                });
        },
        [completion](const QelErrorPtr& error) {
            if (completion) completion(error, std::nullopt);
        });
}

void QelCloudService::getTaskInfoWithTaskId(const std::string& taskId,
                                            StringCompletion completion) {
    detail::getTaskInfoWithLimit(shared_from_this(), taskId, {}, std::move(completion));
}

void QelCloudService::getAvatarOnlineWithAvatarId(const std::string& avatarId,
                                                  ValueCompletion completion) {
    if (avatarId.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "avatarId 为空"),
                       absentJson());
        return;
    }
    Impl::queryAvatar(shared_from_this(), kAvatarOnlineMethod, avatarId, true,
                      std::move(completion));
}

}  // namespace velmora

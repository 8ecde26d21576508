// Avatar generation from a photograph, its result requests, and fetching a stored cloud avatar.
#include <string>

#include "cloud/json_text.h"
#include "cloud/private.h"
#include "cloud/task_polling.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "platform/clock.h"
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

}  // namespace

namespace detail {

bool TaskPollLimit::reached() const {
    if (stop && stop->load()) return true;
    if (cancellation && cancellation->isCancelled()) return true;
    return platform::absoluteTimeNow() > deadline;
}

void getTaskInfoWithLimit(const std::shared_ptr<QelCloudService>& service,
                          const std::string& taskId, const TaskPollLimit& limit,
                          QelCloudService::StringCompletion completion) {
    if (taskId.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "taskId 为空"),
                       std::nullopt);
        return;
    }
    if (limit.reached()) {
        if (completion)
            completion(failure(detail::formatMessage("%@ 超时", {kBuilderPollingMethod})),
                       std::nullopt);
        return;
    }
    detail::AuthorisedRequest request;
    request.method = detail::AuthorisedRequest::Method::Post;
    request.path = "v1/orv/download";
    request.body = Json{{"taskid", taskId}};
    request.cancellation = limit.cancellation;
    request.maxAnswerBytes = detail::kMaxDescriptionAnswerBytes;
    // Failures keep their own rule here: no token renewal.
    detail::sendTokened(
        service, request,
        [completion](const Json& envelope) {
            const Json& data = jsonMemberRef(envelope, "data");
            bool tooLarge = false;
            const auto text = QelCloudService::safeData(data)
                                  ? detail::descriptionText(data, tooLarge)
                                  : std::nullopt;
            if (!completion) return;
            if (text)
                completion(nullptr, text);
            else
                completion(failure(tooLarge ? detail::descriptionTooLarge(kTaskInfoMethod +
                                                                          std::string(" 返回值"))
                                            : detail::formatMessage("%@ 返回值中 data 为空",
                                                                    {kTaskInfoMethod})),
                           std::nullopt);
        },
        [service, taskId, limit, completion](const QelErrorPtr& error) {
            // Asked again from this delivery thread; the next answer arrives on another one.
            if (isStillRunning(error)) {
                getTaskInfoWithLimit(service, taskId, limit, completion);
                return;
            }
            if (completion)
                completion(
                    detail::narrowedError(
                        error, detail::formatMessage(
                                   "%@ 出错,%@", {kTaskInfoMethod, QelTool::errorMessage(error)})),
                    std::nullopt);
        });
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
    self->d_->renewal.send(
        self, std::move(request), kGenerateMethod,
        [self, callBackTaskId, completion](const Json& envelope) {
            const Json data = jsonMember(envelope, "data");
            const Json taskId = jsonMember(data, "taskid");
            if (!safeData(data) || !taskId.is_string() || taskId.get<std::string>().empty()) {
                if (completion)
                    completion(failure("avatar在线生成时获取 taskId 失败！"), std::nullopt);
                return;
            }
            if (callBackTaskId) {
                if (completion) completion(nullptr, taskId.get<std::string>());
                return;
            }
            // The cloud needs a moment before a result can be asked for.
            dispatch::sleepFor(1.0);
            self->getTaskInfoWithTaskId(taskId.get<std::string>(), completion);
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

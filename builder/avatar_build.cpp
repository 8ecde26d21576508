// Building an avatar from a photograph: the photograph fitted, the generation started, its result
// polled under the configured limit.
#include <atomic>
#include <memory>

#include "builder/result_polling.h"
#include "cloud/authorised_request.h"
#include "cloud/task_polling.h"
#include "net/url_error.h"
#include "platform/dispatch.h"
#include "velmora/builder_kit.h"
#include "velmora/cloud_service.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

// The photograph as the cloud should receive it: upright pixels (PNG keeps no orientation),
// fitted into the box.
QelImagePtr uploadPhoto(const QelImagePtr& image, QelSize box) {
    QelImagePtr upright = image;
    if (image && image->imageOrientation() != QelImageOrientation::Up)
        upright = QelImage::fixOrientation(image);
    return QelImage::compressImage(upright, box);
}

// The build's completion, called once: with -999 as soon as the token is cancelled (on the
// global queue, not on the canceller's thread), or with the build's own outcome before that.
QelBuilderKit::StringCompletion cancellable(QelBuilderKit::StringCompletion completion,
                                            const QelCancellationTokenPtr& cancellation) {
    auto hook = std::make_shared<detail::CancelHook>(cancellation);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    hook->attach([finished, completion] {
        if (finished->exchange(true) || !completion) return;
        dispatch::globalQueue().async(
            [completion] { completion(detail::cancellationError(), std::nullopt); });
    });
    return [hook, finished, completion = std::move(completion)](
               const QelErrorPtr& error, const std::optional<std::string>& value) {
        if (finished->exchange(true)) return;
        hook->answered();
        if (completion) completion(error, value);
    };
}

}  // namespace

void QelBuilderKit::buildAvatarWithImage(const QelImagePtr& image, int64_t type,
                                         StringCompletion completion) {
    buildAvatarWithImage(image, type, std::move(completion), nullptr);
}

void QelBuilderKit::buildAvatarWithImage(const QelImagePtr& image, int64_t type,
                                         StringCompletion completion,
                                         QelCancellationTokenPtr cancellation) {
    if (!image || image->empty()) {
        if (completion)
            completion(
                QelTool::errorWithCode(QelErrorCodeFailure, "调用生成方法时传入的图片为空！"),
                std::nullopt);
        return;
    }
    const QelBuilderConfig config = buildModel();
    const double limit = static_cast<double>(config.buildAvatarTimeOut());
    auto service = QelCloudService::sharedService();
    if (cancellation) completion = cancellable(std::move(completion), cancellation);
    // Turning, scaling and encoding a camera photograph takes a while: not on the caller's thread.
    dispatch::globalQueue().async([image, type, completion, config, limit, service, cancellation] {
        const QelImagePtr photo = uploadPhoto(image, config.buildAvatarMaxSize());
        detail::CloudServiceAccess::generateAvatarOnline(
            service, photo, type, cancellation,
            [service, limit, completion, cancellation](const QelErrorPtr& error,
                                                       const std::optional<std::string>& taskId) {
                if (error || !taskId) {
                    if (completion)
                        completion(
                            error ? error
                                  : QelTool::errorWithCode(QelErrorCodeFailure,
                                                           "avatar在线生成时获取 taskId 失败！"),
                            std::nullopt);
                    return;
                }
                builder::pollTaskResult(
                    *taskId, limit, builder::cloudResultRequest(service, cancellation), completion);
            });
    });
}

}  // namespace velmora

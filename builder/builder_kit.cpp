// The builder's configuration and its blocking form of the result polling.
#include "velmora/builder_kit.h"

#include "builder/result_polling.h"
#include "platform/dispatch.h"
#include "velmora/cloud_service.h"
#include "velmora/tool.h"

namespace velmora {

QelBuilderKit::QelBuilderKit(QelBuilderConfig config) : buildModel_(std::move(config)) {}

std::shared_ptr<QelBuilderKit> QelBuilderKit::setupWithConfig(const QelBuilderConfig& config) {
    return std::make_shared<QelBuilderKit>(config);
}

QelBuilderConfig QelBuilderKit::buildModel() const {
    std::lock_guard lock(mutex_);
    return buildModel_;
}

void QelBuilderKit::setBuildModel(QelBuilderConfig config) {
    std::lock_guard lock(mutex_);
    buildModel_ = std::move(config);
}

bool QelBuilderKit::safeData(const Json& value) {
    return QelCloudService::safeData(value);
}

void QelBuilderKit::getTaskInfoWithTaskId(const std::string& taskId, double overTime,
                                          StringCompletion completion) {
    struct Outcome {
        dispatch::Semaphore done{0};
        QelErrorPtr error;
        std::optional<std::string> text;
    };
    auto outcome = std::make_shared<Outcome>();
    auto run = builder::LimitedRun::start(
        overTime, nullptr,
        [outcome](const QelErrorPtr& error, const std::optional<std::string>& text) {
            outcome->error = error;
            outcome->text = text;
            outcome->done.signal();
        });
    if (!run->ended())
        builder::pollTaskResult(
            taskId, run->secondsLeft(),
            builder::cloudResultRequest(QelCloudService::sharedService(), run->stop()),
            run->reply());
    outcome->done.wait();
    if (completion) completion(outcome->error, outcome->text);
}

}  // namespace velmora

// The shared service, its configuration, the signed auth record and the token.
#include <cstdio>
#include <optional>
#include <string>

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/format.h"
#include "net/transport.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

std::mutex gSharedMutex;
std::shared_ptr<QelCloudService> gShared;

// A token travels unencoded in URLs: only visible ASCII of a sane length is one.
constexpr size_t kMaxTokenLength = 4096;

std::optional<std::string> usableToken(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > kMaxTokenLength) return std::nullopt;
    for (const char c : text) {
        if (c <= ' ' || c > '~') return std::nullopt;
    }
    return text;
}

}  // namespace

// QelCloudServiceAuth

QelCloudServiceAuth::QelCloudServiceAuth(std::string apiKey, std::string apiSecret)
    : apiKey_(std::move(apiKey)), apiSecret_(std::move(apiSecret)) {}

std::string QelCloudServiceAuth::signature() {
    return signTimestamp().signature;
}

QelCloudServiceAuth::Signed QelCloudServiceAuth::signTimestamp() {
    // The clock is read under the lock too, so the stored pair is always the latest one.
    std::lock_guard lock(mutex_);
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.0f", platform::absoluteTimeNow() * 1000.0);
    Signed result;
    result.timestamp = digits;
    const std::string content =
        detail::formatMessage("key=%@&timestamp=%@", {apiKey_, result.timestamp});
    result.signature = QelEncryptUtils::HMacSHA256WithSecret(apiSecret_, content);
    timestamp_ = result.timestamp;
    signature_ = result.signature;
    return result;
}

std::string QelCloudServiceAuth::timestamp() const {
    std::lock_guard lock(mutex_);
    return timestamp_;
}

std::string QelCloudServiceAuth::token() const {
    std::lock_guard lock(mutex_);
    return token_;
}

void QelCloudServiceAuth::setToken(std::string token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
}

// QelCloudService

QelCloudService::QelCloudService() : d_(std::make_unique<Impl>()) {}
QelCloudService::~QelCloudService() = default;

std::shared_ptr<QelCloudService> QelCloudService::sharedService() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) gShared = std::shared_ptr<QelCloudService>(new QelCloudService());
    return gShared;
}

void QelCloudService::destroy() {
    std::shared_ptr<QelCloudService> dropped;
    {
        std::lock_guard lock(gSharedMutex);
        dropped.swap(gShared);
    }
    // Released outside the guard: requests in flight may hold the last reference.
}

void QelCloudService::setupWithConfig(const QelCloudServiceConfig& config,
                                      const std::optional<std::string>& downloadRootPath) {
    std::optional<std::string> root = downloadRootPath;
    if (root && root->empty()) root.reset();
    {
        std::lock_guard lock(d_->fieldsMutex);
        d_->config = config;
        d_->auth.reset();
    }
    d_->store.setRoot(std::move(root));
    detail::removeLeftoverTemporaryFiles(this->downloadRootPath());
}

QelCloudServiceConfig QelCloudService::config() const {
    std::lock_guard lock(d_->fieldsMutex);
    return d_->config;
}

std::shared_ptr<QelCloudServiceAuth> QelCloudService::authConfig() {
    std::lock_guard lock(d_->fieldsMutex);
    if (!d_->auth)
        d_->auth =
            std::make_shared<QelCloudServiceAuth>(d_->config.apiKey(), d_->config.apiSecret());
    return d_->auth;
}

std::string QelCloudService::apiBasePathPrefix() const {
    return config().apiBasePath() + "/api/";
}

std::string QelCloudService::token() {
    return authConfig()->token();
}

QelCloudService::RemoveIconsBlock QelCloudService::removeIconsBlock() const {
    std::lock_guard lock(d_->fieldsMutex);
    return d_->removeIconsBlock;
}

void QelCloudService::setRemoveIconsBlock(RemoveIconsBlock block) {
    std::lock_guard lock(d_->fieldsMutex);
    d_->removeIconsBlock = std::move(block);
}

std::shared_ptr<QelProjectJsonModel> QelCloudService::projectJsonModel() const {
    std::lock_guard lock(d_->fieldsMutex);
    return d_->projectJsonModel;
}

void QelCloudService::setProjectJsonModel(std::shared_ptr<QelProjectJsonModel> model) {
    std::lock_guard lock(d_->fieldsMutex);
    d_->projectJsonModel = std::move(model);
}

void QelCloudService::getTokenWithCompletion(TokenCompletion completion) {
    const QelCloudServiceConfig cfg = config();
    if (cfg.apiKey().empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "apikey 为空"),
                       std::nullopt);
        return;
    }
    // The answer is kept by the record that signed the request; a setup meanwhile starts afresh.
    auto auth = authConfig();
    const QelCloudServiceAuth::Signed signedStamp = auth->signTimestamp();
    const int64_t stamp = std::stoll(signedStamp.timestamp);
    const Json body = {
        {"key", cfg.apiKey()}, {"timestamp", stamp}, {"signature", signedStamp.signature}};

    auto self = shared_from_this();
    // Signed for one moment: never sent twice, whatever the retry policy.
    detail::sharedTransport()->post(
        apiBasePathPrefix() + "user/token/key", body, false, 0,
        [self, auth, completion](const Json& envelope) {
            const Json data = jsonMember(envelope, "data");
            if (safeData(data)) {
                // An answer without a usable token leaves none: keeping the old one would
                // repeat the rejected call with it.
                const std::optional<std::string> token = usableToken(jsonMember(data, "token"));
                auth->setToken(token.value_or(""));
                if (!completion) return;
                if (token)
                    completion(nullptr, *token);
                else
                    completion(QelTool::errorWithCode(QelErrorCodeFailure, "获取Token值为空"),
                               std::nullopt);
                return;
            }
            auth->setToken("");
            platform::systemLog("获取Token返回值Data无数据");
            if (completion)
                completion(QelTool::errorWithCode(QelErrorCodeFailure, "获取Token值为空"),
                           std::nullopt);
        },
        [completion](const QelErrorPtr& error) {
            if (!completion) return;
            completion(
                detail::narrowedError(error, detail::formatMessage("获取Token时出错,%@",
                                                                   {QelTool::errorMessage(error)})),
                std::nullopt);
        });
}

void QelCloudService::regainTokenIfNeedWithError(const QelErrorPtr& error,
                                                 const std::string& methodName,
                                                 RetryBlock retryCompletion,
                                                 ErrorBlock errorCompletion) {
    d_->renewal.regainToken(shared_from_this(), error, methodName, token(), 0,
                            std::move(retryCompletion), std::move(errorCompletion));
}

bool QelCloudService::safeData(const Json& value) {
    return isPresent(value);
}

std::string QelCloudService::fileStateKey() {
    return "fileState";
}

}  // namespace velmora

#include "velmora/avatar_helper.h"

#include "core/format.h"
#include "core/host_files.h"
#include "engine/avatar.h"
#include "engine/avatar_check.h"
#include "engine/bundle_files.h"
#include "platform/paths.h"
#include "velmora/tool.h"

namespace velmora {

namespace {

std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<QelAvatarHelper>& sharedSlot() {
    static std::shared_ptr<QelAvatarHelper> helper;
    return helper;
}

std::shared_ptr<QelAvatarHelper> existingHelper() {
    std::lock_guard lock(sharedMutex());
    return sharedSlot();
}

// "%@" of a path that may be unset.
std::string shown(const std::string& path) {
    return path.empty() ? "(null)" : path;
}

// The engine's default list is a small document.
constexpr size_t kMaxDefaultJsonBytes = size_t{16} << 20;

// The file's text when it is JSON the bounded intake takes (the engine parses it again, with no
// bound of its own), or "".
std::string readJsonText(const std::string& path) {
    if (path.empty()) return {};
    auto text = platform::readWholeFile(path, kMaxDefaultJsonBytes);
    if (!text || isAbsent(detail::parseBoundedJson(*text, kMaxDefaultJsonBytes))) return {};
    return std::move(*text);
}

}  // namespace

QelAvatarHelper::QelAvatarHelper() = default;
QelAvatarHelper::~QelAvatarHelper() = default;

std::shared_ptr<QelAvatarHelper> QelAvatarHelper::shareHelper() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<QelAvatarHelper>();
    return slot;
}

void QelAvatarHelper::destroy() {
    std::shared_ptr<QelAvatarHelper> dropped;
    {
        std::lock_guard lock(sharedMutex());
        dropped.swap(sharedSlot());
    }
}

std::shared_ptr<QelAvatar> QelAvatarHelper::createAvatar() {
    std::string config, graph, logic;
    if (auto helper = existingHelper()) {
        config = helper->controllerConfigPath();
        graph = helper->animationGraphPath();
        logic = helper->animationLogicPath();
    }
    if (!QelTool::isExist(config)) {
        QelTool::errorLog(detail::formatMessage("configPath：%@ 不存在！", {shown(config)}));
        return nullptr;
    }
    if (!QelTool::isExist(graph)) {
        QelTool::errorLog(detail::formatMessage("animationGraphPath：%@ 不存在！", {shown(graph)}));
        return nullptr;
    }
    if (!QelTool::isExist(logic)) {
        QelTool::errorLog(detail::formatMessage("animationLogicPath：%@ 不存在！", {shown(logic)}));
        return nullptr;
    }
    return QelAvatar::initWithControllerConfigPath(config, graph, logic);
}

bool QelAvatarHelper::loadDefaultBundleWithPaths(const std::vector<std::string>& paths) {
    auto check = shareHelper()->avatarCheck();
    return check ? check->addDefaultBundleWithPaths(paths) : false;
}

std::string QelAvatarHelper::metaPath(const std::string& bundlePath) {
    return detail::bundleMetaPath(bundlePath);
}

std::string QelAvatarHelper::controllerConfigPath() const {
    std::lock_guard lock(mutex_);
    return controllerConfigPath_;
}

void QelAvatarHelper::setControllerConfigPath(const std::string& path) {
    std::lock_guard lock(mutex_);
    controllerConfigPath_ = path;
}

std::string QelAvatarHelper::animationGraphPath() const {
    std::lock_guard lock(mutex_);
    return animationGraphPath_;
}

void QelAvatarHelper::setAnimationGraphPath(const std::string& path) {
    std::lock_guard lock(mutex_);
    animationGraphPath_ = path;
}

std::string QelAvatarHelper::animationLogicPath() const {
    std::lock_guard lock(mutex_);
    return animationLogicPath_;
}

void QelAvatarHelper::setAnimationLogicPath(const std::string& path) {
    std::lock_guard lock(mutex_);
    animationLogicPath_ = path;
}

std::string QelAvatarHelper::defaultJsonPath() const {
    std::lock_guard lock(mutex_);
    return defaultJsonPath_;
}

void QelAvatarHelper::setDefaultJsonPath(const std::string& path) {
    std::lock_guard lock(mutex_);
    defaultJsonPath_ = path;
}

std::shared_ptr<QelAvatarCheck> QelAvatarHelper::avatarCheckLocked() {
    if (!avatarCheck_) {
        std::string text = readJsonText(defaultJsonPath_);
        if (!text.empty()) avatarCheck_ = QelAvatarCheck::checkDefaultJson(text);
    }
    return avatarCheck_;
}

std::shared_ptr<QelAvatarCheck> QelAvatarHelper::avatarCheck() {
    std::lock_guard lock(mutex_);
    return avatarCheckLocked();
}

void QelAvatarHelper::setAvatarCheck(std::shared_ptr<QelAvatarCheck> avatarCheck) {
    std::lock_guard lock(mutex_);
    avatarCheck_ = std::move(avatarCheck);
}

std::optional<std::vector<std::string>> QelAvatarHelper::defaultFileIds() {
    std::lock_guard lock(mutex_);
    if (!defaultFileIds_) {
        if (auto check = avatarCheckLocked()) defaultFileIds_ = check->defaultPaths();
    }
    return defaultFileIds_;
}

void QelAvatarHelper::setDefaultFileIds(std::optional<std::vector<std::string>> defaultFileIds) {
    std::lock_guard lock(mutex_);
    defaultFileIds_ = std::move(defaultFileIds);
}

}  // namespace velmora

#include "velmora/resource_kit.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include "core/format.h"
#include "core/host_files.h"
#include "engine/avatar.h"
#include "engine/item.h"
#include "net/url_error.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "resources/needed_items.h"
#include "resources/private.h"
#include "velmora/avatar_helper.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLoadSelector = "loadAvatarBaseItemsWithAvatarModel:progress:completion:";
constexpr const char* kSaveSelector = "saveAvatarModel:avatarJson:";

std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<QelResourceKit>& sharedSlot() {
    static std::shared_ptr<QelResourceKit> kit;
    return kit;
}

std::string lastPathComponent(const std::string& path) {
    if (path.empty()) return {};
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return "/";
    size_t start = path.rfind('/', end);
    return path.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string withoutExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The same directory whatever the spelling; "" when it cannot be resolved.
std::string canonical(const std::string& path) {
    if (path.empty()) return {};
    std::error_code ec;
    auto resolved = fs::weakly_canonical(fs::path(path), ec);
    if (ec) return {};
    std::string text = resolved.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// True when anything, a dangling link included, is at the path.
bool isTaken(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

// An avatar directory the store may move or remove: a directory of its own (no link) holding a
// regular "avatar.json", and none of the directories that must never go, whatever a model names.
bool isStoredAvatarDirectory(const std::string& path, const std::set<std::string>& roots) {
    if (!detail::holdsAvatarDescription(path)) return false;
    const std::string target = canonical(path);
    return !target.empty() && target != "/" && !roots.count(target) &&
           target != canonical(platform::documentsDirectory());
}

// The store's custom root and built-in root (when set), resolved.
std::set<std::string> rootsOf(QelResourceKit& kit) {
    std::set<std::string> roots{canonical(kit.customAvatarRootPath())};
    const auto settings = kit.config();
    if (settings && !settings->buildInAvatarsPath().empty())
        roots.insert(canonical(settings->buildInAvatarsPath()));
    roots.erase(std::string());
    return roots;
}

// The directory holding `path`, resolved; "" when there is none.
std::string canonicalParent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string parent = fs::path(path).parent_path().string();
    return parent.empty() ? std::string() : canonical(parent);
}

}  // namespace

// ---- Shared instance and fields ----

QelResourceKit::QelResourceKit() = default;
QelResourceKit::~QelResourceKit() = default;

std::shared_ptr<QelResourceKit> QelResourceKit::sharedManager() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::shared_ptr<QelResourceKit>(new QelResourceKit());
    return slot;
}

void QelResourceKit::destroy() {
    std::shared_ptr<QelResourceKit> dropped;
    {
        std::lock_guard lock(sharedMutex());
        dropped.swap(sharedSlot());
    }
    // Released outside the guard: the models' release writes log lines.
}

void QelResourceKit::setupWithConfig(const QelResourceManageConfig& config,
                                     std::shared_ptr<QelResourceFactoryProtocol> resourceLoader) {
    {
        std::lock_guard lock(mutex_);
        config_ = config;
        resourceLoader_ = std::move(resourceLoader);
        customAvatarRootPath_ = config.customAvatarRootPath();
    }
    // Asked from the service's threads: a store that is gone can no longer tell.
    std::weak_ptr<QelResourceKit> weak = weak_from_this();
    loaderService()->setNeededFileIdsBlock([weak]() -> std::optional<std::vector<std::string>> {
        auto kit = weak.lock();
        if (!kit) return std::nullopt;
        return kit->neededFileIds();
    });
}

std::shared_ptr<QelCloudService> QelResourceKit::loaderService() const {
    if (auto factory = std::dynamic_pointer_cast<QelResourceFactory>(resourceLoader()))
        return factory->service();
    return QelCloudService::sharedService();
}

std::vector<std::string> QelResourceKit::neededFileIds() {
    std::vector<std::string> roots{customAvatarRootPath(), loaderService()->avatarRootPath()};
    if (const auto settings = config(); settings && !settings->buildInAvatarsPath().empty())
        roots.push_back(settings->buildInAvatarsPath());
    const auto defaults = QelAvatarHelper::shareHelper()->defaultFileIds();
    return resources::itemsNeededByStoredAvatars(roots,
                                                 defaults.value_or(std::vector<std::string>()));
}

std::string QelResourceKit::customRootLocked() {
    if (customAvatarRootPath_.empty())
        customAvatarRootPath_ =
            platform::appendPathComponent(platform::documentsDirectory(), "avatarsData");
    return customAvatarRootPath_;
}

std::string QelResourceKit::customAvatarRootPath() {
    std::lock_guard lock(mutex_);
    return customRootLocked();
}

void QelResourceKit::setCustomAvatarRootPath(std::string path) {
    std::lock_guard lock(mutex_);
    customAvatarRootPath_ = std::move(path);
}

std::optional<QelResourceKit::ModelList> QelResourceKit::buildinAvatars() const {
    std::lock_guard lock(mutex_);
    return buildinAvatars_;
}

void QelResourceKit::setBuildinAvatars(std::optional<ModelList> models) {
    std::optional<ModelList> old;
    std::lock_guard lock(mutex_);
    old.swap(buildinAvatars_);
    buildinAvatars_ = std::move(models);
}

std::optional<QelResourceKit::ModelList> QelResourceKit::customAvatars() const {
    std::lock_guard lock(mutex_);
    return customAvatars_;
}

void QelResourceKit::setCustomAvatars(std::optional<ModelList> models) {
    std::optional<ModelList> old;
    std::lock_guard lock(mutex_);
    old.swap(customAvatars_);
    customAvatars_ = std::move(models);
}

std::optional<QelResourceKit::ModelList> QelResourceKit::avatarModels() const {
    std::lock_guard lock(mutex_);
    if (!buildinAvatars_ && !customAvatars_) return std::nullopt;
    ModelList all;
    if (buildinAvatars_) all = *buildinAvatars_;
    if (customAvatars_) all.insert(all.end(), customAvatars_->begin(), customAvatars_->end());
    return all;
}

std::optional<QelResourceManageConfig> QelResourceKit::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

void QelResourceKit::setConfig(std::optional<QelResourceManageConfig> config) {
    std::lock_guard lock(mutex_);
    config_ = std::move(config);
}

std::shared_ptr<QelResourceFactoryProtocol> QelResourceKit::resourceLoader() const {
    std::lock_guard lock(mutex_);
    return resourceLoader_;
}

void QelResourceKit::setResourceLoader(std::shared_ptr<QelResourceFactoryProtocol> resourceLoader) {
    std::lock_guard lock(mutex_);
    resourceLoader_ = std::move(resourceLoader);
}

// ---- Listing ----

void QelResourceKit::getAvatarListWithCompletion(ListCompletion completion) {
    if (!config()) {
        QelTool::errorLog("QelResource 加载形象数据前需要先设置配置信息！！！");
        if (completion) completion(std::nullopt);
        return;
    }
    dispatch::globalQueue().async([self = shared_from_this(), completion = std::move(completion)] {
        const double started = platform::absoluteTimeNow();
        self->loadAvatarModels();
        char line[128];
        std::snprintf(line, sizeof line,
                      "Time profile used time : %fms for getAvatarListWithCompletion",
                      (platform::absoluteTimeNow() - started) * 1000.0);
        platform::systemLog(line);
        if (completion) completion(self->avatarModels());
    });
}

void QelResourceKit::loadAvatarModels() {
    ModelList builtin = loadBuiltinAvatarModels();
    ModelList custom = loadCustomAvatarModels();
    // The lists replaced are released after the lock, with their models' log lines.
    std::optional<ModelList> oldBuiltin, oldCustom;
    std::lock_guard lock(mutex_);
    oldBuiltin.swap(buildinAvatars_);
    oldCustom.swap(customAvatars_);
    buildinAvatars_ = std::move(builtin);
    customAvatars_ = std::move(custom);
}

QelResourceKit::ModelList QelResourceKit::loadBuiltinAvatarModels() {
    auto settings = config();
    const std::string root = settings ? settings->buildInAvatarsPath() : std::string();
    return loadAvatarModelsWithAvatarsNameArray(QelTool::assembleAvatarIdsWithPath(root), root);
}

QelResourceKit::ModelList QelResourceKit::loadCustomAvatarModels() {
    const std::string root = customAvatarRootPath();
    return loadAvatarModelsWithAvatarsNameArray(QelTool::assembleAvatarIdsWithPath(root), root);
}

QelResourceKit::ModelList QelResourceKit::loadAvatarModelsWithAvatarsNameArray(
    const std::vector<std::string>& avatarsNameArray, const std::string& avatarRootPath) {
    ModelList models;
    models.reserve(avatarsNameArray.size());
    for (const auto& name : avatarsNameArray) {
        if (auto model =
                loadAvatarWithName(name, platform::appendPathComponent(avatarRootPath, name)))
            models.push_back(std::move(model));
    }
    return models;
}

QelAvatarModelPtr QelResourceKit::loadAvatarWithName(const std::string& name,
                                                     const std::string& avatarPath) {
    return std::make_shared<QelAvatarModel>(name, avatarPath);
}

// ---- Loading an avatar's items ----

void QelResourceKit::getSourceRemoteWithSourceIds(
    const std::vector<std::string>& sourceIds, ProgressBlock progress,
    QelResourceFactoryProtocol::Completion completion) {
    fetchSources(sourceIds, QelTransferOptions(), std::move(progress), std::move(completion));
}

void QelResourceKit::fetchSources(const std::vector<std::string>& sourceIds,
                                  const QelTransferOptions& options, ProgressBlock progress,
                                  QelResourceFactoryProtocol::Completion completion) {
    auto loader = resourceLoader();
    if (!loader) {
        // Without a loader nothing can be fetched; a host waiting on the completion must hear so.
        const std::string message =
            "getSourceRemoteWithSourceIds:progress:completion:方法中 resourceLoader 为空";
        QelTool::errorLog(message);
        QelDownloadResultModel result;
        result.setError(QelTool::errorWithCode(QelErrorCodeMissingArgument, message));
        if (completion) completion(result);
        return;
    }
    // Without options the old form goes, so a loader that overrides only it is still called.
    if (options.cancellationToken() || options.byteProgress())
        loader->getSourceRemoteWithOptions(sourceIds, options, std::move(progress),
                                           std::move(completion));
    else
        loader->getSourceRemoteWithSourceIds(sourceIds, std::move(progress), std::move(completion));
}

void QelResourceKit::loadAvatarBaseItemsWithAvatarModel(const QelAvatarModelPtr& avatarModel,
                                                        ProgressBlock progress,
                                                        ErrorCompletion completion) {
    loadAvatarBaseItemsWithAvatarModel(avatarModel, std::move(progress), std::move(completion),
                                       QelTransferOptions());
}

void QelResourceKit::loadAvatarBaseItemsWithAvatarModel(const QelAvatarModelPtr& avatarModel,
                                                        ProgressBlock progress,
                                                        ErrorCompletion completion,
                                                        const QelTransferOptions& options) {
    auto finish = [&completion](const QelErrorPtr& error) {
        if (completion) completion(error);
    };
    if (!avatarModel) {
        finish(QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                      std::string(kLoadSelector) + "方法中 avatarModel 为空"));
        return;
    }
    if (avatarModel->addedBaseComponents()) {
        finish(nullptr);
        return;
    }
    std::vector<std::string> requested = avatarModel->avatarJsonFileIds();
    if (requested.empty()) {
        finish(QelTool::errorWithCode(
            QelErrorCodeMissingArgument,
            std::string(kLoadSelector) + "方法中 avatarModel 的道具列表为空"));
        return;
    }
    if (!resourceLoader()) {
        const std::string message = std::string(kLoadSelector) + "方法中 resourceLoader 为空";
        QelTool::errorLog(message);
        finish(QelTool::errorWithCode(QelErrorCodeMissingArgument, message));
        return;
    }
    auto self = shared_from_this();
    fetchSources(requested, options, progress,
                 [self, avatarModel, requested, progress, completion = std::move(completion),
                  options](const QelDownloadResultModel& first) {
                     self->continueLoading(avatarModel, requested, first, progress, completion,
                                           options);
                 });
}

void QelResourceKit::continueLoading(const QelAvatarModelPtr& model,
                                     std::vector<std::string> requested,
                                     const QelDownloadResultModel& first, ProgressBlock progress,
                                     ErrorCompletion completion,
                                     const QelTransferOptions& options) {
    auto finish = [&completion](const QelErrorPtr& error) {
        if (completion) completion(error);
    };
    // A loader that ignored the token still ends a cancelled load, with nothing added.
    if (options.isCancelled()) {
        finish(detail::cancellationError());
        return;
    }
    // Out of reach of the cloud, the items on disk still make an avatar; the rest is reported.
    const bool firstOffline = QelCloudService::isCloudUnreachableError(first.error());
    if (first.error() && first.error()->code() != QelErrorCodeUnknownItems && !firstOffline) {
        finish(first.error());
        return;
    }
    auto ordered = sortArray(first.successFileModels(), requested);
    auto [paths, fileIds] = parseFileIdsAndPathsWithFileModels(ordered);
    auto engineAvatar = model->avatar();
    if (!engineAvatar) {
        // The engine avatar went away meanwhile and cannot be made again: nothing was loaded.
        finish(QelTool::errorWithCode(
            QelErrorCodeFailure, std::string(kLoadSelector) + "方法中 avatarModel 的 avatar 为空"));
        return;
    }
    const std::vector<std::string> needed = engineAvatar->checkDefault(paths, fileIds);
    const std::set<std::string> neededSet(needed.begin(), needed.end());
    const std::set<std::string> requestedSet(requested.begin(), requested.end());
    if (neededSet == requestedSet) {
        avatarLoadItemsWithModel(model, ordered);
        finish(firstOffline ? partialLoad(model, first.error(), first.failFileIds(), {})
                            : first.error());
        return;
    }
    auto self = shared_from_this();
    fetchSources(
        needed, options, progress,
        [self, model, requested = std::move(requested), first, firstOffline,
         completion = std::move(completion), options](const QelDownloadResultModel& second) {
            if (options.isCancelled()) {
                if (completion) completion(detail::cancellationError());
                return;
            }
            const bool secondOffline = QelCloudService::isCloudUnreachableError(second.error());
            QelErrorPtr error = second.error() ? second.error() : first.error();
            if (!second.error() || second.error()->code() == QelErrorCodeUnknownItems ||
                secondOffline) {
                self->avatarLoadItemsWithModel(
                    model, self->sortArray(second.successFileModels(), requested));
                if (!model->addedBaseComponents())
                    error = QelTool::errorWithCode(
                        QelErrorCodeFailure,
                        std::string(kLoadSelector) + "方法中 avatarModel 的 avatar 为空");
                else if (firstOffline || secondOffline)
                    error = partialLoad(model, secondOffline ? second.error() : first.error(),
                                        first.failFileIds(), second.failFileIds());
            }
            if (completion) completion(error);
        });
}

QelErrorPtr QelResourceKit::partialLoad(const QelAvatarModelPtr& model,
                                        const QelErrorPtr& unreachable,
                                        const std::vector<std::string>& failed,
                                        const std::vector<std::string>& alsoFailed) {
    // Not all there: the next load, with the cloud back, adds the rest.
    if (model) model->setAddedBaseComponents(false);
    std::vector<std::string> ids;
    for (const auto* list : {&failed, &alsoFailed})
        for (const auto& id : *list)
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    QelError::UserInfo info = unreachable->userInfo();
    info[kQelFailedFileIdsKey] = Json(ids).dump();
    return std::make_shared<const QelError>(unreachable->domain(), unreachable->code(),
                                            std::move(info));
}

std::vector<QelFileModel> QelResourceKit::sortArray(
    const std::vector<QelFileModel>& array, const std::vector<std::string>& referArray) const {
    std::vector<QelFileModel> working = array, result;
    result.reserve(array.size());
    for (const auto& id : referArray) {
        auto match = std::find_if(working.begin(), working.end(),
                                  [&id](const QelFileModel& m) { return m.fileId() == id; });
        if (match == working.end()) continue;
        result.push_back(std::move(*match));
        working.erase(match);
    }
    result.insert(result.end(), std::make_move_iterator(working.begin()),
                  std::make_move_iterator(working.end()));
    return result;
}

std::array<std::vector<std::string>, 2> QelResourceKit::parseFileIdsAndPathsWithFileModels(
    const std::vector<QelFileModel>& fileModels) const {
    std::array<std::vector<std::string>, 2> result;
    for (const auto& model : fileModels) {
        if (!model.path().empty()) result[0].push_back(model.path());
        if (!model.fileId().empty()) result[1].push_back(model.fileId());
    }
    return result;
}

void QelResourceKit::avatarLoadItemsWithModel(const QelAvatarModelPtr& avatarModel,
                                              const std::vector<QelFileModel>& fileModels) {
    if (!avatarModel) return;
    std::vector<QelItemPtr> items;
    for (const auto& file : fileModels) {
        const std::string name = withoutExtension(lastPathComponent(file.fileId()));
        if (auto item = QelItem::itemWithPath(file.path(), name, file.fileId()))
            items.push_back(std::move(item));
    }
    auto engineAvatar = avatarModel->avatar();
    if (!engineAvatar) return;
    engineAvatar->addNewComponentsWithRemoveComponentFileIds(items, {});
    avatarModel->setAddedBaseComponents(true);
}

// ---- Saving ----

bool QelResourceKit::saveAvatarModel(const QelAvatarModelPtr& avatarModel) {
    return saveAvatarModel(avatarModel, std::string());
}

bool QelResourceKit::saveAvatarModel(const QelAvatarModelPtr& avatarModel,
                                     const std::string& /*avatarJson*/) {
    if (!avatarModel || !preSaveWithAvatarModel(avatarModel)) return false;
    return avatarModel->save();
}

std::string QelResourceKit::getNewAvatarDirName() {
    int64_t millis = platform::epochMillisNow();
    const std::string customRoot = customAvatarRootPath();
    auto settings = config();
    const std::string builtinRoot = settings ? settings->buildInAvatarsPath() : std::string();
    std::lock_guard lock(mutex_);
    millis = std::max(millis, lastIssuedStamp_ + 1);
    for (;; ++millis) {
        std::string name = platform::localDateStamp(millis);
        const bool taken = QelTool::isExist(platform::appendPathComponent(customRoot, name)) ||
                           (!builtinRoot.empty() &&
                            QelTool::isExist(platform::appendPathComponent(builtinRoot, name)));
        if (!taken) {
            lastIssuedStamp_ = millis;
            return name;
        }
    }
}

bool QelResourceKit::createAvatarPath(const std::string& path) {
    if (QelTool::createPath(path)) return true;
    platform::systemLog(detail::formatMessage("Failed create avatar path: %@", {path}));
    return false;
}

bool QelResourceKit::isExistInCustomAvatarList(const QelAvatarModelPtr& avatarModel) {
    if (!avatarModel) return false;
    std::lock_guard lock(mutex_);
    if (!customAvatars_) return false;
    return std::any_of(customAvatars_->begin(), customAvatars_->end(),
                       [&](const QelAvatarModelPtr& m) {
                           return m && m->avatarPath() == avatarModel->avatarPath();
                       });
}

bool QelResourceKit::isBuildinAvatar(const QelAvatarModelPtr& avatarModel) {
    if (!avatarModel) return false;
    std::lock_guard lock(mutex_);
    return buildinAvatars_ && std::find(buildinAvatars_->begin(), buildinAvatars_->end(),
                                        avatarModel) != buildinAvatars_->end();
}

bool QelResourceKit::preSaveWithAvatarModel(const QelAvatarModelPtr& avatarModel) {
    if (!avatarModel) return false;
    std::string dirName = avatarModel->avatarId();
    if (dirName.empty()) dirName = lastPathComponent(avatarModel->avatarPath());
    const bool fresh = dirName.empty();
    if (fresh) dirName = getNewAvatarDirName();
    if (!resources::isSafeDirectoryName(dirName)) {
        // The name becomes a directory below a root: anything else would write elsewhere.
        QelTool::errorLog(detail::formatMessage("avatarId %@ 不能用作目录名", {dirName}));
        return false;
    }

    const bool builtin = isBuildinAvatar(avatarModel);
    std::string root = customAvatarRootPath();
    if (builtin) {
        auto settings = config();
        root = settings ? settings->buildInAvatarsPath() : std::string();
        if (root.empty()) {
            // A bare directory name would land in the working directory.
            QelTool::errorLog(errorDescription(QelTool::errorWithCode(
                QelErrorCodeMissingArgument,
                std::string(kSaveSelector) + "方法中 config.buildInAvatarsPath 为空")));
            return false;
        }
    }
    const std::string newPath = platform::appendPathComponent(root, dirName);
    const std::string oldPath = avatarModel->avatarPath();

    if (oldPath != newPath && isTaken(oldPath)) {
        // A move: only an avatar directory directly below a root goes, and never onto another.
        const auto roots = rootsOf(*this);
        if (!isStoredAvatarDirectory(oldPath, roots) || !roots.count(canonicalParent(oldPath))) {
            QelTool::errorLog(detail::formatMessage(
                "avatarModel.avatarPath 不是形象根目录下的形象目录，不能移动：%@", {oldPath}));
            return false;
        }
        if (canonical(oldPath) != canonical(newPath)) {
            if (isTaken(newPath)) {
                QelTool::errorLog(
                    detail::formatMessage("%@ 已存在，不能覆盖另一个形象", {newPath}));
                return false;
            }
            if (!createAvatarPath(root)) return false;
            const int error = detail::moveWithoutReplacing(oldPath, newPath);
            platform::systemLog(
                detail::formatMessage("renamePath 结果：%@", {error == 0 ? "成功" : "失败"}));
            if (error != 0) {
                platform::systemLog(detail::formatMessage(
                    "renamePath时moveItem报错：%@", {errorDescription(makePOSIXError(error))}));
                return false;
            }
        }
        avatarModel->setAvatarPath(newPath);
    } else {
        if (isTaken(newPath) && !detail::isRealDirectory(newPath)) {
            // A link would take the avatar's files wherever it points.
            QelTool::errorLog(detail::formatMessage("%@ 不是形象目录，不能保存", {newPath}));
            return false;
        }
        const bool created = createAvatarPath(newPath);
        if (oldPath != newPath) {
            // Nothing to move: the model named no directory, or one that is gone.
            if (!oldPath.empty())
                platform::systemLog(detail::formatMessage("renamePath 结果：%@", {"失败"}));
            if (created) avatarModel->setAvatarPath(newPath);
        }
    }
    avatarModel->setName(dirName);

    if (!builtin && !isExistInCustomAvatarList(avatarModel)) {
        std::lock_guard lock(mutex_);
        if (customAvatars_) customAvatars_->push_back(avatarModel);
    }
    return true;
}

// ---- Deleting ----

bool QelResourceKit::canDeleteAvatarModel(const QelAvatarModelPtr& avatarModel) {
    return avatarModel && !avatarModel->isAppBundleAvatarPath();
}

bool QelResourceKit::deleteAvatarModel(const QelAvatarModelPtr& avatarModel) {
    if (!canDeleteAvatarModel(avatarModel)) {
        platform::systemLog("The avatar is builtin, Can not be deleted!");
        return false;
    }
    const std::string path = avatarModel->avatarPath();
    if (!QelTool::isExist(path)) {
        QelTool::errorLog(detail::formatMessage("avatarModel.avatarPath 不存在，%@", {path}));
        return false;
    }

    // Only an avatar directory goes: never a root, the Documents directory or "/", whatever
    // the model names.
    if (!isStoredAvatarDirectory(path, rootsOf(*this))) {
        QelTool::errorLog(
            detail::formatMessage("avatarModel.avatarPath 不是形象目录，不能删除：%@", {path}));
        return false;
    }

    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
        platform::systemLog(
            detail::formatMessage("Failed delete avatar at path: %@,error: %@",
                                  {path, errorDescription(makePOSIXError(ec.value()))}));
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        auto drop = [&](std::optional<ModelList>& list) {
            if (!list) return false;
            auto found = std::find(list->begin(), list->end(), avatarModel);
            if (found == list->end()) return false;
            list->erase(found);
            return true;
        };
        if (!drop(buildinAvatars_)) drop(customAvatars_);
    }
    QelTool::normalLog(detail::formatMessage("成功删除：%@", {path}));
    return true;
}

}  // namespace velmora

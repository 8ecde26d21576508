// The resource state store: the item list and the per-item states, in memory and on disk.

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include "cloud/state_store.h"

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "core/host_files.h"
#include "engine/avatar_check.h"
#include "engine/bundle_files.h"
#include "velmora/tool.h"

namespace velmora::detail {
namespace {

const char* const kStateKey = "fileState";

// Parsed JSON object, or absent when the text is no JSON object or more than the bounded intake
// takes (in the size bound the files are read with).
Json parseObject(const std::string& text) {
    Json value = parseBoundedJson(text, platform::kDefaultMaxFileBytes);
    return value.is_object() ? value : absentJson();
}

std::optional<uint64_t> stateOf(const Json& entry) {
    const Json state = jsonMember(entry, kStateKey);
    if (state.is_number_unsigned()) return state.get<uint64_t>();
    if (state.is_number_integer()) return static_cast<uint64_t>(state.get<int64_t>());
    return std::nullopt;
}

// The text form of a member for comparison; absent when the member is missing or null.
std::optional<std::string> textOf(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number() || value.is_boolean()) return value.dump();
    return std::nullopt;
}

// Like `target = value`, but a string over a string reuses the storage it has.
void assignKeepingStorage(Json& target, const Json& value) {
    if (target.is_string() && value.is_string())
        target.get_ref<std::string&>() = value.get_ref<const std::string&>();
    else
        target = value;
}

// Equal as text; a missing or null member equals nothing.
bool sameText(const Json& a, const Json& b) {
    if (a.is_string() && b.is_string())
        return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    const auto textA = textOf(a);
    const auto textB = textOf(b);
    return textA && textB && *textA == *textB;
}

// The member "version" as the configuration check compares it: strings as they are, numbers in
// their JSON form, anything else absent.
std::optional<std::string> versionText(const Json& version) {
    if (version.is_string()) return version.get<std::string>();
    if (version.is_number()) return version.dump();
    return std::nullopt;
}

// Goes through a document without building it: whether it is a JSON object, and the text of its
// top-level "version" (the last one, as a parsed document keeps it).
class ListVersionProbe final : public nlohmann::json_sax<Json> {
  public:
    bool isObject() const { return isObject_; }
    const std::optional<std::string>& version() const { return version_; }

    bool null() override { return scalar(Json()); }
    bool boolean(bool value) override { return scalar(Json(value)); }
    bool number_integer(number_integer_t value) override { return scalar(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(Json(value));
    }
    bool string(string_t& value) override { return scalar(Json(value)); }
    bool binary(binary_t&) override { return scalar(Json()); }
    bool key(string_t& name) override {
        atVersion_ = depth_ == 1 && name == "version";
        return true;
    }
    bool start_object(std::size_t) override {
        if (depth_ == 0) isObject_ = true;
        return open();
    }
    bool start_array(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    bool scalar(const Json& value) {
        if (atVersion_) version_ = versionText(value);
        atVersion_ = false;
        return true;
    }
    bool open() {
        if (atVersion_) version_.reset();
        atVersion_ = false;
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    size_t depth_ = 0;
    bool isObject_ = false;
    bool atVersion_ = false;
    std::optional<std::string> version_;
};

// The list's entries by path, the later of two with one path winning, as the info keeps them.
std::map<std::string_view, const Json*> entriesByPath(const Json& document) {
    std::map<std::string_view, const Json*> entries;
    const Json& list = jsonMemberRef(document, "list");
    if (!list.is_array()) return entries;
    for (const auto& item : list) {
        const Json& path = jsonMemberRef(item, "path");
        if (path.is_string()) entries[path.get_ref<const std::string&>()] = &item;
    }
    return entries;
}

}  // namespace

std::optional<uint64_t> entryState(const Json& entry) {
    return stateOf(entry);
}

std::string StateStore::root() {
    std::lock_guard lock(rootMutex_);
    if (!root_) root_ = platform::appendPathComponent(platform::documentsDirectory(), "OSSAssets");
    return *root_;
}

void StateStore::setRoot(std::optional<std::string> root) {
    {
        std::lock_guard lock(rootMutex_);
        if (root_ == root) return;
        root_ = std::move(root);
    }
    // The states held belong to the old root; the new one's are read from its own files.
    std::lock_guard lock(mutex_);
    list_ = absentJson();
    info_ = absentJson();
    storedListVersion_.reset();
}

std::string StateStore::itemPath(const std::string& fileId) {
    return platform::appendPathComponent(root(), fileId);
}

std::string StateStore::listPath() {
    return platform::appendPathComponent(root(), "GGenerateJson/resource_list.json");
}

std::string StateStore::infoPath() {
    return platform::appendPathComponent(root(), "GGenerateJson/resource_info.json");
}

bool StateStore::ensureListLoaded() {
    {
        std::lock_guard lock(mutex_);
        if (!isAbsent(list_)) return true;
    }
    const auto text = platform::readWholeFile(listPath());
    if (!text) return false;
    Json parsed = parseObject(*text);
    if (isAbsent(parsed)) return false;
    std::lock_guard lock(mutex_);
    if (isAbsent(list_)) list_ = std::move(parsed);
    return true;
}

std::optional<std::optional<std::string>> StateStore::knownListVersion() {
    {
        std::lock_guard lock(mutex_);
        if (!isAbsent(list_)) return versionText(jsonMemberRef(list_, "version"));
        if (storedListVersion_) return storedListVersion_;
    }
    // The stored list may hold tens of thousands of entries; its version needs none of them.
    const auto text = platform::readWholeFile(listPath());
    if (!text) return std::nullopt;
    ListVersionProbe probe;
    if (!Json::sax_parse(*text, &probe) || !probe.isObject()) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!isAbsent(list_)) return versionText(jsonMemberRef(list_, "version"));
    storedListVersion_ = probe.version();
    return storedListVersion_;
}

Json StateStore::list() {
    if (!ensureListLoaded()) return absentJson();
    std::lock_guard lock(mutex_);
    return list_;
}

void StateStore::ensureInfoLoaded() {
    const auto loaded = [this] {
        std::lock_guard lock(mutex_);
        return !isAbsent(info_);
    };
    if (loaded()) return;
    std::lock_guard loading(infoLoadMutex_);
    if (loaded()) return;
    Json info = absentJson();
    const auto text = platform::readWholeFile(infoPath());
    if (text) info = parseObject(*text);
    if (!isAbsent(info)) {
        // The start-up correction, made before anyone can see the loaded states.
        std::optional<Json> stored;
        std::map<std::string_view, const Json*> entries;
        for (auto entry = info.begin(); entry != info.end();) {
            if (!detail::isStorableFileId(entry.key())) {
                entry = info.erase(entry);
                continue;
            }
            const auto state = stateOf(*entry);
            if (state == QelFileStateDownloading && !stored) {
                stored = list();
                entries = entriesByPath(*stored);
            }
            if (state && entry->is_object()) {
                const auto found = entries.find(entry.key());
                const auto corrected = correctedState(
                    entry.key(), *state, found == entries.end() ? nullptr : found->second);
                if (corrected != *state) (*entry)[kStateKey] = corrected;
            }
            ++entry;
        }
    } else {
        // No file, or one that cannot be read: nothing on record is trusted, every entry is
        // checked against the list afresh.
        if (text)
            QelTool::warningLog(
                formatMessage("%@ 无法解析，按最新 resourceList 重新校验", {infoPath()}));
        info = infoWithData(list());
    }
    std::lock_guard lock(mutex_);
    if (isAbsent(info_)) info_ = std::move(info);
}

void StateStore::setList(Json list) {
    std::lock_guard lock(mutex_);
    list_ = std::move(list);
    storedListVersion_.reset();
}

Json StateStore::info() {
    ensureInfoLoaded();
    std::lock_guard lock(mutex_);
    return info_;
}

void StateStore::setInfo(Json info) {
    std::lock_guard lock(mutex_);
    info_ = std::move(info);
}

uint64_t StateStore::verifiedState(const std::string& fileId, const Json* listEntry) {
    return listEntry && detail::fileMatchesEntry(root(), fileId, *listEntry)
               ? QelFileStatePresent
               : QelFileStateNeedsDownload;
}

// A 2 on record says nothing about the file: it may be stale, or never checked. Only its digest
// against the list proves it. A 0 without its file is gone; every other state stays.
uint64_t StateStore::correctedState(const std::string& fileId, uint64_t state,
                                    const Json* listEntry) {
    if (state == QelFileStateDownloading) return verifiedState(fileId, listEntry);
    if (state == QelFileStatePresent &&
        detail::entryBeneath(root(), fileId) != detail::EntryKind::File)
        return QelFileStateNeedsDownload;
    return state;
}

Json StateStore::infoWithData(const Json& data) {
    Json info = Json::object();
    const auto entries = entriesByPath(data);
    for (const auto& [path, item] : entries) {
        const std::string fileId(path);
        if (!detail::isStorableFileId(fileId)) continue;
        Json entry = Json::object();
        for (const char* key : {"resource_id", "icon_url"}) {
            const Json& value = jsonMemberRef(*item, key);
            if (!isAbsent(value)) entry[key] = value;
        }
        entry[kStateKey] = verifiedState(fileId, item);
        info[fileId] = std::move(entry);
    }
    return info;
}

std::vector<std::string> StateStore::markChangedItems(const Json& list) {
    std::vector<std::string> iconUrls;
    if (!list.is_array()) return iconUrls;
    ensureInfoLoaded();
    std::lock_guard lock(mutex_);
    if (!info_.is_object()) return iconUrls;
    for (const auto& item : list) {
        const Json& path = jsonMemberRef(item, "path");
        if (!path.is_string()) continue;
        auto found = info_.find(path.get_ref<const std::string&>());
        if (found == info_.end() || !found->is_object()) continue;
        if (sameText(jsonMemberRef(item, "resource_id"), jsonMemberRef(*found, "resource_id")))
            continue;
        (*found)[kStateKey] = uint64_t{QelFileStateNeedsDownload};
        const Json& icon = jsonMemberRef(*found, "icon_url");
        if (icon.is_string()) iconUrls.push_back(icon.get<std::string>());
    }
    return iconUrls;
}

void StateStore::rebuildInfo(const Json& itemListDic) {
    ensureInfoLoaded();
    std::unique_lock lock(mutex_);
    if (!info_.is_object()) {
        lock.unlock();
        Json fresh = infoWithData(itemListDic);
        lock.lock();
        info_ = std::move(fresh);
        return;
    }
    // The current info turns into the new one in place, which spares rebuilding tens of thousands
    // of entries: a listed item keeps its entry and state and takes the list's members, a new one
    // gets its state from disk, and the entries of items no longer listed go.
    auto& info = info_.get_ref<Json::object_t&>();
    std::vector<std::string_view> listed;
    const Json& list = jsonMemberRef(itemListDic, "list");
    if (list.is_array()) {
        listed.reserve(list.size());
        for (const auto& item : list) {
            const Json& path = jsonMemberRef(item, "path");
            if (!path.is_string() || !detail::isStorableFileId(path.get_ref<const std::string&>()))
                continue;
            const std::string& fileId = path.get_ref<const std::string&>();
            listed.push_back(fileId);
            auto [found, added] = info.try_emplace(fileId);
            Json& entry = found->second;
            if (added) {
                entry = {{kStateKey, verifiedState(fileId, &item)}};
            } else if (!entry.is_object()) {
                entry = Json::object();  // no state to carry
            } else {
                for (auto member = entry.begin(); member != entry.end();) {
                    const std::string& key = member.key();
                    if (key == kStateKey || key == "resource_id" || key == "icon_url" ||
                        key == kLastUseKey)
                        ++member;
                    else
                        member = entry.erase(member);
                }
            }
            for (const char* key : {"resource_id", "icon_url"}) {
                const Json& value = jsonMemberRef(item, key);
                if (isAbsent(value))
                    entry.erase(key);
                else
                    assignKeepingStorage(entry[key], value);
            }
        }
    }
    std::sort(listed.begin(), listed.end());
    auto next = listed.begin();
    for (auto entry = info.begin(); entry != info.end();) {
        while (next != listed.end() && *next < entry->first) ++next;
        if (next != listed.end() && *next == entry->first)
            ++entry;
        else
            entry = info.erase(entry);
    }
}

QelErrorPtr StateStore::update(Json itemListDic,
                               const std::shared_ptr<QelProjectJsonModel>& project,
                               const QelCloudService::RemoveIconsBlock& removeIcons) {
    if (knownListVersion()) {
        const auto iconUrls = markChangedItems(jsonMemberRef(itemListDic, "list"));
        rebuildInfo(itemListDic);
        if (!iconUrls.empty() && removeIcons) removeIcons(iconUrls);
    } else {
        setInfo(infoWithData(itemListDic));
    }
    bool listSaved = false;
    setList(saveListDocument(std::move(itemListDic), project, &listSaved));
    const bool infoSaved = saveInfo();
    if (listSaved && infoSaved) return nullptr;
    return QelTool::errorWithCode(
        QelErrorCodeFailure, formatMessage("%@ 保存失败", {listSaved ? infoPath() : listPath()}));
}

void StateStore::setStates(const std::vector<std::string>& fileIds, uint64_t state,
                           std::optional<uint64_t> onlyFrom) {
    if (fileIds.empty()) return;
    ensureInfoLoaded();
    for (const auto& fileId : fileIds) {
        bool known = false;
        {
            const auto held = writersLock();
            std::lock_guard lock(mutex_);
            auto entry = info_.is_object() ? info_.find(fileId) : info_.end();
            if (entry != info_.end() && entry->is_object()) {
                known = true;
                if (!onlyFrom || stateOf(*entry) == onlyFrom) (*entry)[kStateKey] = state;
            }
        }
        if (!known)
            QelTool::errorLog(formatMessage("%@ 在最新的 resourceInfoDic 中不存在", {fileId}));
    }
}

void StateStore::correctStates() {
    // Existence is tested outside the store's lock; a state changed meanwhile is left alone.
    std::vector<std::pair<std::string, uint64_t>> candidates;
    {
        std::lock_guard lock(mutex_);
        if (!info_.is_object()) return;
        for (const auto& [fileId, entry] : info_.items()) {
            const auto state = stateOf(entry);
            if (state && (*state == QelFileStatePresent || *state == QelFileStateDownloading))
                candidates.emplace_back(fileId, *state);
        }
    }
    std::optional<Json> stored;
    std::map<std::string_view, const Json*> entries;
    std::vector<std::pair<std::string, uint64_t>> changes;
    for (const auto& [fileId, state] : candidates) {
        if (state == QelFileStateDownloading && !stored) {
            stored = list();
            entries = entriesByPath(*stored);
        }
        const auto listed = entries.find(fileId);
        const uint64_t found =
            correctedState(fileId, state, listed == entries.end() ? nullptr : listed->second);
        if (found != state) changes.emplace_back(fileId, found);
    }
    std::lock_guard lock(mutex_);
    if (!info_.is_object()) return;
    for (size_t i = 0, j = 0; i < changes.size(); ++i) {
        while (candidates[j].first != changes[i].first) ++j;
        auto entry = info_.find(changes[i].first);
        if (entry == info_.end() || stateOf(*entry) != candidates[j].second) continue;
        (*entry)[kStateKey] = changes[i].second;
    }
}

void StateStore::saveList(const std::shared_ptr<QelProjectJsonModel>& project) {
    saveListDocument(list(), project);
}

Json StateStore::saveListDocument(Json document,
                                  const std::shared_ptr<QelProjectJsonModel>& project,
                                  bool* saved) {
    if (!document.is_object()) document = Json::object();
    const bool versioned = project && project->hasItemListVersion();
    Json previous = jsonMember(document, "version");
    if (versioned) document["version"] = project->itemListVersion();
    const bool written = QelTool::saveContainer(document, listPath());
    QelTool::normalLog(
        formatMessage("最新 resourceList 保存结果：%@", {written ? "成功" : "失败"}));
    if (saved) *saved = written;
    // The version goes to the file only; what stays in memory is the document as it came.
    if (versioned) {
        if (isAbsent(previous))
            document.erase("version");
        else
            document["version"] = std::move(previous);
    }
    return document;
}

bool StateStore::saveInfo() {
    ensureInfoLoaded();
    const std::string directory = root();
    const std::string path = infoPath();
    bool saved = false;
    {
        const auto held = writersLock();
        // Every file that a 0 or 3 below stands for was named before its mark, and marks wait
        // for this lock: after the sync their bytes are on disk before the states are.
        if (detail::syncFileSystemOf(directory)) {
            // Serialised under the store's lock rather than copied: the info can be large.
            std::optional<std::string> text;
            {
                std::lock_guard lock(mutex_);
                if (info_.is_object()) text = containerText(info_);
            }
            saved = text && saveContainerText(*text, path);
        }
    }
    QelTool::normalLog(formatMessage("最新 resourceInfo 保存结果：%@", {saved ? "成功" : "失败"}));
    return saved;
}

}  // namespace velmora::detail

namespace velmora {

std::string QelCloudService::downloadRootPath() {
    return d_->store.root();
}

std::string QelCloudService::pathOfResourceListJson() {
    return d_->store.listPath();
}

std::string QelCloudService::pathOfResourceInfoJson() {
    return d_->store.infoPath();
}

void QelCloudService::safeLock(const std::function<void()>& block) {
    const auto held = d_->store.writersLock();
    if (block) block();
}

Json QelCloudService::resourceListDic() {
    return d_->store.list();
}

void QelCloudService::setResourceListDic(Json list) {
    d_->store.setList(std::move(list));
}

Json QelCloudService::resourceInfoDic() {
    return d_->store.info();
}

void QelCloudService::setResourceInfoDic(Json info) {
    d_->store.setInfo(std::move(info));
}

Json QelCloudService::resourceInfoDicWithData(const Json& data) {
    return d_->store.infoWithData(data);
}

bool QelCloudService::isStorableFileId(const std::string& fileId) {
    return detail::isStorableFileId(fileId);
}

std::vector<std::string> QelCloudService::updateResourceInfoFileStateWithRequestItemList(
    const Json& list) {
    return d_->store.markChangedItems(list);
}

void QelCloudService::createLatestResourceInfoWithRequestItemListDic(const Json& itemListDic) {
    d_->store.rebuildInfo(itemListDic);
}

QelErrorPtr QelCloudService::updateResourceStoreWithItemListDic(Json itemListDic) {
    return d_->store.update(std::move(itemListDic), projectJsonModel(), removeIconsBlock());
}

void QelCloudService::updateItemFileStateDownloadingWithModels(
    const std::vector<QelItemDownloadModelPtr>& models) {
    std::vector<std::string> fileIds;
    for (const auto& model : models)
        if (model && !model->itemFileId().empty()) fileIds.push_back(model->itemFileId());
    auto self = shared_from_this();
    dispatch::globalQueue().async([self, fileIds = std::move(fileIds)] {
        self->updateResourceStateWithFileIds(fileIds, QelFileStateDownloading);
    });
}

void QelCloudService::updateResourceStateWithFileIds(const std::vector<std::string>& fileIds,
                                                     uint64_t state) {
    d_->store.setStates(fileIds, state, std::nullopt);
}

void QelCloudService::correctFileStateIfNeed() {
    d_->store.correctStates();
}

void QelCloudService::saveNewestResourceList() {
    d_->store.saveList(projectJsonModel());
}

void QelCloudService::saveNewestResourceInfo() {
    d_->store.saveInfo();
}

void QelCloudService::saveMetaDataWithModel(const QelItemDownloadModelPtr& model) {
    if (!model) return;
    const std::string bundlePath =
        platform::appendPathComponent(model->itemSavePath(), model->itemName());
    const std::string metaPath = detail::bundleMetaPath(bundlePath);
    // A new meta file replaces the old one by rename; every other outcome removes it below.
    const std::string meta = QelAvatarCheck::getMetaWithBundlePath(bundlePath);
    if (meta.empty() || !detail::writeFileAtomically(metaPath, meta, false)) {
        QelTool::removeFile(metaPath);
        if (meta.empty())
            QelTool::warningLog(detail::formatMessage("%@ 没有meta信息", {model->itemName()}));
    }
}

}  // namespace velmora

// The resource state store: the item list and the per-item states, in memory and on disk.

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "engine/avatar_check.h"
#include "velmora/avatar_helper.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

const char* const kStateKey = "fileState";

// Parsed JSON object, or absent when the text is no JSON object.
Json parseObject(const std::string& text) {
    Json value = Json::parse(text, nullptr, false);
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

bool QelCloudService::ensureResourceListLoaded() {
    {
        std::lock_guard lock(d_->storeMutex);
        if (!isAbsent(d_->resourceList)) return true;
    }
    const auto text = platform::readWholeFile(pathOfResourceListJson());
    if (!text) return false;
    Json parsed = parseObject(*text);
    if (isAbsent(parsed)) return false;
    std::lock_guard lock(d_->storeMutex);
    if (isAbsent(d_->resourceList)) d_->resourceList = std::move(parsed);
    return true;
}

std::optional<std::optional<std::string>> QelCloudService::knownResourceListVersion() {
    {
        std::lock_guard lock(d_->storeMutex);
        if (!isAbsent(d_->resourceList))
            return versionText(jsonMemberRef(d_->resourceList, "version"));
        if (d_->storedListVersion) return d_->storedListVersion;
    }
    // The stored list may hold tens of thousands of entries; its version needs none of them.
    const auto text = platform::readWholeFile(pathOfResourceListJson());
    if (!text) return std::nullopt;
    ListVersionProbe probe;
    if (!Json::sax_parse(*text, &probe) || !probe.isObject()) return std::nullopt;
    std::lock_guard lock(d_->storeMutex);
    if (!isAbsent(d_->resourceList)) return versionText(jsonMemberRef(d_->resourceList, "version"));
    d_->storedListVersion = probe.version();
    return d_->storedListVersion;
}

Json QelCloudService::loadResourceList() {
    if (!ensureResourceListLoaded()) return absentJson();
    std::lock_guard lock(d_->storeMutex);
    return d_->resourceList;
}

void QelCloudService::ensureResourceInfoLoaded() {
    const auto loaded = [this] {
        std::lock_guard lock(d_->storeMutex);
        return !isAbsent(d_->resourceInfo);
    };
    if (loaded()) return;
    std::lock_guard loading(d_->infoLoadMutex);
    if (loaded()) return;
    Json info = absentJson();
    const auto text = platform::readWholeFile(pathOfResourceInfoJson());
    if (text) info = parseObject(*text);
    if (!isAbsent(info)) {
        // The start-up correction, made before anyone can see the loaded states.
        std::optional<Json> list;
        std::map<std::string_view, const Json*> entries;
        for (auto entry = info.begin(); entry != info.end();) {
            if (!isStorableFileId(entry.key())) {
                entry = info.erase(entry);
                continue;
            }
            const auto state = stateOf(*entry);
            if (state == QelFileStateDownloading && !list) {
                list = loadResourceList();
                entries = entriesByPath(*list);
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
            QelTool::warningLog(formatMessage("%@ 无法解析，按最新 resourceList 重新校验",
                                              {pathOfResourceInfoJson()}));
        info = resourceInfoDicWithData(loadResourceList());
    }
    std::lock_guard lock(d_->storeMutex);
    if (isAbsent(d_->resourceInfo)) d_->resourceInfo = std::move(info);
}

Json QelCloudService::resourceListDic() {
    return loadResourceList();
}

void QelCloudService::setResourceListDic(Json list) {
    std::lock_guard lock(d_->storeMutex);
    d_->resourceList = std::move(list);
    d_->storedListVersion.reset();
}

Json QelCloudService::resourceInfoDic() {
    ensureResourceInfoLoaded();
    std::lock_guard lock(d_->storeMutex);
    return d_->resourceInfo;
}

void QelCloudService::setResourceInfoDic(Json info) {
    std::lock_guard lock(d_->storeMutex);
    d_->resourceInfo = std::move(info);
}

bool QelCloudService::isStorableFileId(const std::string& fileId) {
    return cloud::isStorableFileId(fileId);
}

uint64_t QelCloudService::verifiedState(const std::string& fileId, const Json* listEntry) {
    return listEntry && cloud::fileMatchesEntry(downloadRootPath(), fileId, *listEntry)
               ? QelFileStatePresent
               : QelFileStateNeedsDownload;
}

// A 2 on record says nothing about the file: it may be stale, or never checked. Only its digest
// against the list proves it. A 0 without its file is gone; every other state stays.
uint64_t QelCloudService::correctedState(const std::string& fileId, uint64_t state,
                                         const Json* listEntry) {
    if (state == QelFileStateDownloading) return verifiedState(fileId, listEntry);
    if (state == QelFileStatePresent &&
        cloud::entryBeneath(downloadRootPath(), fileId) != cloud::EntryKind::File)
        return QelFileStateNeedsDownload;
    return state;
}

Json QelCloudService::resourceInfoDicWithData(const Json& data) {
    Json info = Json::object();
    const auto entries = entriesByPath(data);
    for (const auto& [path, item] : entries) {
        const std::string fileId(path);
        if (!isStorableFileId(fileId)) continue;
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

std::vector<std::string> QelCloudService::updateResourceInfoFileStateWithRequestItemList(
    const Json& list) {
    std::vector<std::string> iconUrls;
    if (!list.is_array()) return iconUrls;
    ensureResourceInfoLoaded();
    std::lock_guard lock(d_->storeMutex);
    if (!d_->resourceInfo.is_object()) return iconUrls;
    for (const auto& item : list) {
        const Json& path = jsonMemberRef(item, "path");
        if (!path.is_string()) continue;
        auto found = d_->resourceInfo.find(path.get_ref<const std::string&>());
        if (found == d_->resourceInfo.end() || !found->is_object()) continue;
        if (sameText(jsonMemberRef(item, "resource_id"), jsonMemberRef(*found, "resource_id")))
            continue;
        (*found)[kStateKey] = uint64_t{QelFileStateNeedsDownload};
        const Json& icon = jsonMemberRef(*found, "icon_url");
        if (icon.is_string()) iconUrls.push_back(icon.get<std::string>());
    }
    return iconUrls;
}

void QelCloudService::createLatestResourceInfoWithRequestItemListDic(const Json& itemListDic) {
    ensureResourceInfoLoaded();
    std::unique_lock lock(d_->storeMutex);
    if (!d_->resourceInfo.is_object()) {
        lock.unlock();
        Json fresh = resourceInfoDicWithData(itemListDic);
        lock.lock();
        d_->resourceInfo = std::move(fresh);
        return;
    }
    // The current info turns into the new one in place, which spares rebuilding tens of thousands
    // of entries: a listed item keeps its entry and state and takes the list's members, a new one
    // gets its state from disk, and the entries of items no longer listed go.
    auto& info = d_->resourceInfo.get_ref<Json::object_t&>();
    std::vector<std::string_view> listed;
    const Json& list = jsonMemberRef(itemListDic, "list");
    if (list.is_array()) {
        listed.reserve(list.size());
        for (const auto& item : list) {
            const Json& path = jsonMemberRef(item, "path");
            if (!path.is_string() || !isStorableFileId(path.get_ref<const std::string&>()))
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
                    if (key == kStateKey || key == "resource_id" || key == "icon_url")
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

QelErrorPtr QelCloudService::updateResourceStoreWithItemListDic(Json itemListDic) {
    if (knownResourceListVersion()) {
        const auto iconUrls =
            updateResourceInfoFileStateWithRequestItemList(jsonMemberRef(itemListDic, "list"));
        createLatestResourceInfoWithRequestItemListDic(itemListDic);
        const auto block = removeIconsBlock();
        if (!iconUrls.empty() && block) block(iconUrls);
    } else {
        setResourceInfoDic(resourceInfoDicWithData(itemListDic));
    }
    bool listSaved = false;
    setResourceListDic(saveResourceListDocument(std::move(itemListDic), &listSaved));
    const bool infoSaved = storeResourceInfo();
    if (listSaved && infoSaved) return nullptr;
    return QelTool::errorWithCode(
        QelErrorCodeFailure, formatMessage("%@ 保存失败", {listSaved ? pathOfResourceInfoJson()
                                                                     : pathOfResourceListJson()}));
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
    markStates(fileIds, state, std::nullopt);
}

void QelCloudService::markStates(const std::vector<std::string>& fileIds, uint64_t state,
                                 std::optional<uint64_t> onlyFrom) {
    if (fileIds.empty()) return;
    ensureResourceInfoLoaded();
    for (const auto& fileId : fileIds) {
        bool known = false;
        safeLock([&] {
            std::lock_guard lock(d_->storeMutex);
            if (!d_->resourceInfo.is_object()) return;
            auto entry = d_->resourceInfo.find(fileId);
            if (entry == d_->resourceInfo.end() || !entry->is_object()) return;
            known = true;
            if (!onlyFrom || stateOf(*entry) == onlyFrom) (*entry)[kStateKey] = state;
        });
        if (!known)
            QelTool::errorLog(formatMessage("%@ 在最新的 resourceInfoDic 中不存在", {fileId}));
    }
}

void QelCloudService::correctFileStateIfNeed() {
    // Existence is tested outside the store's lock; a state changed meanwhile is left alone.
    std::vector<std::pair<std::string, uint64_t>> candidates;
    {
        std::lock_guard lock(d_->storeMutex);
        if (!d_->resourceInfo.is_object()) return;
        for (const auto& [fileId, entry] : d_->resourceInfo.items()) {
            const auto state = stateOf(entry);
            if (state && (*state == QelFileStatePresent || *state == QelFileStateDownloading))
                candidates.emplace_back(fileId, *state);
        }
    }
    std::optional<Json> list;
    std::map<std::string_view, const Json*> entries;
    std::vector<std::pair<std::string, uint64_t>> changes;
    for (const auto& [fileId, state] : candidates) {
        if (state == QelFileStateDownloading && !list) {
            list = loadResourceList();
            entries = entriesByPath(*list);
        }
        const auto listed = entries.find(fileId);
        const uint64_t found =
            correctedState(fileId, state, listed == entries.end() ? nullptr : listed->second);
        if (found != state) changes.emplace_back(fileId, found);
    }
    std::lock_guard lock(d_->storeMutex);
    if (!d_->resourceInfo.is_object()) return;
    for (size_t i = 0, j = 0; i < changes.size(); ++i) {
        while (candidates[j].first != changes[i].first) ++j;
        auto entry = d_->resourceInfo.find(changes[i].first);
        if (entry == d_->resourceInfo.end() || stateOf(*entry) != candidates[j].second) continue;
        (*entry)[kStateKey] = changes[i].second;
    }
}

void QelCloudService::saveNewestResourceList() {
    Json document = loadResourceList();
    saveResourceListDocument(std::move(document));
}

Json QelCloudService::saveResourceListDocument(Json document, bool* saved) {
    if (!document.is_object()) document = Json::object();
    const auto model = projectJsonModel();
    const bool versioned = model && model->hasItemListVersion();
    Json previous = jsonMember(document, "version");
    if (versioned) document["version"] = model->itemListVersion();
    const bool written = QelTool::saveContainer(document, pathOfResourceListJson());
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

void QelCloudService::saveNewestResourceInfo() {
    storeResourceInfo();
}

bool QelCloudService::storeResourceInfo() {
    ensureResourceInfoLoaded();
    const std::string root = downloadRootPath();
    const std::string path = pathOfResourceInfoJson();
    bool saved = false;
    safeLock([&] {
        // Every file that a 0 or 3 below stands for was named before its mark, and marks wait
        // for this lock: after the sync their bytes are on disk before the states are.
        if (!cloud::syncFileSystemOf(root)) {
            QelTool::normalLog(formatMessage("最新 resourceInfo 保存结果：%@", {"失败"}));
            return;
        }
        // Serialised under the store's lock rather than copied: the info can be large.
        std::optional<std::string> text;
        {
            std::lock_guard lock(d_->storeMutex);
            if (d_->resourceInfo.is_object()) text = containerText(d_->resourceInfo);
        }
        saved = text && saveContainerText(*text, path);
        QelTool::normalLog(
            formatMessage("最新 resourceInfo 保存结果：%@", {saved ? "成功" : "失败"}));
    });
    return saved;
}

void QelCloudService::saveMetaDataWithModel(const QelItemDownloadModelPtr& model) {
    if (!model) return;
    const std::string bundlePath =
        platform::appendPathComponent(model->itemSavePath(), model->itemName());
    const std::string metaPath = QelAvatarHelper::metaPath(bundlePath);
    // A new meta file replaces the old one by rename; every other outcome removes it below.
    const std::string meta = QelAvatarCheck::getMetaWithBundlePath(bundlePath);
    if (meta.empty() || !writeFileAtomically(metaPath, meta, false)) {
        QelTool::removeFile(metaPath);
        if (meta.empty())
            QelTool::warningLog(formatMessage("%@ 没有meta信息", {model->itemName()}));
    }
}

}  // namespace velmora

// Removing item files, last uses, and the clean-up operations built on them.
#include "cloud/item_cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/format.h"
#include "core/host_files.h"
#include "engine/bundle_files.h"
#include "platform/clock.h"
#include "velmora/tool.h"

namespace velmora::detail {
namespace {

std::optional<int64_t> regularFileSize(int directory, const char* name) {
    struct stat info {};
    if (directory < 0 || ::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return std::nullopt;
    return static_cast<int64_t>(info.st_size);
}

// Unlinks the regular file `name` in `directory`; its size when it went.
std::optional<int64_t> unlinkRegularFile(int directory, const char* name) {
    const auto size = regularFileSize(directory, name);
    if (!size || ::unlinkat(directory, name, 0) != 0) return std::nullopt;
    return size;
}

// Later than every stamp this process gave before, so one use never ties with an earlier one.
int64_t nextUseStamp() {
    static std::atomic<int64_t> last{0};
    const int64_t now = platform::epochMillisNow();
    int64_t previous = last.load();
    int64_t next = 0;
    do {
        next = std::max(now, previous + 1);
    } while (!last.compare_exchange_weak(previous, next));
    return next;
}

std::optional<int64_t> lastUseOf(const Json& entry) {
    const Json& value = jsonMemberRef(entry, kLastUseKey);
    if (value.is_number_unsigned()) {
        const uint64_t stamp = value.get<uint64_t>();
        return stamp > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(stamp);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    return std::nullopt;  // anything else is no stamp of ours
}

}  // namespace

std::map<std::string, int64_t> itemFileSizes(const std::string& root,
                                             const std::vector<std::string>& fileIds) {
    std::vector<std::string> sorted;
    for (const auto& id : fileIds)
        if (isStorableFileId(id)) sorted.push_back(id);
    std::sort(sorted.begin(), sorted.end());
    std::map<std::string, int64_t> sizes;
    // Ids sorted by path share their directory's descriptor with their neighbours.
    std::optional<std::string> openedFor;
    Descriptor directory;
    for (const auto& id : sorted) {
        const auto [parent, name] = splitFileId(id);
        if (openedFor != parent) {
            directory.reset(openDirectoryBeneath(root, parent, false));
            openedFor = parent;
        }
        if (const auto size = regularFileSize(directory.get(), name.c_str())) sizes[id] = *size;
    }
    return sizes;
}

void removeDefaultAvatars(const std::string& root) {
    Descriptor avatars(openDirectoryBeneath(root, "GAvatarList", false));
    if (avatars.get() < 0) return;
    const int listing = ::openat(avatars.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
        Descriptor avatar(
            ::openat(avatars.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (avatar.get() < 0) continue;  // a link or no directory: not ours to empty
        unlinkRegularFile(avatar.get(), kAvatarJsonName);
        unlinkRegularFile(avatar.get(), kAvatarIconName);
        // Goes only when empty: anything else in it is not the service's.
        ::unlinkat(avatars.get(), name.c_str(), AT_REMOVEDIR);
    }
}

RemovalOutcome removeItemFiles(StateStore& store,
                               const std::vector<std::pair<std::string, uint64_t>>& seen) {
    RemovalOutcome outcome;
    std::vector<std::pair<std::string, uint64_t>> taken;
    for (const auto& entry : seen)
        if (entry.second != QelFileStateDownloading && isStorableFileId(entry.first))
            taken.push_back(entry);
    const std::vector<std::string> marked = store.markNeedsDownload(taken);
    if (marked.empty()) return outcome;
    if (!store.saveInfo()) {
        // Memory says 1 and the files stay: they are fetched again, never trusted unverified.
        outcome.error = QelTool::errorWithCode(
            QelErrorCodeFailure, formatMessage("%@ 保存失败，未删除任何道具", {store.infoPath()}));
        return outcome;
    }
    std::set<std::string> recorded;
    for (const auto& facts : store.entryFacts()) recorded.insert(facts.fileId);
    const std::string root = store.root();
    for (const auto& fileId : marked) {
        store.whileNeedsDownload(fileId, [&] {
            const auto [parent, name] = splitFileId(fileId);
            Descriptor directory(openDirectoryBeneath(root, parent, false));
            if (directory.get() < 0) return;
            if (const auto size = unlinkRegularFile(directory.get(), name.c_str())) {
                outcome.removedFileIds.push_back(fileId);
                outcome.removedBytes += *size;
            }
            // The meta file goes with its bundle, unless the list names that path as an item.
            const std::string meta = bundleMetaPath(fileId);
            if (!recorded.count(meta)) {
                const auto [metaParent, metaName] = splitFileId(meta);
                if (metaParent == parent) unlinkRegularFile(directory.get(), metaName.c_str());
            }
        });
    }
    return outcome;
}

// StateStore: last uses and removals.

std::vector<StateStore::EntryFacts> StateStore::entryFacts() {
    ensureInfoLoaded();
    std::vector<EntryFacts> facts;
    std::lock_guard lock(mutex_);
    if (!info_.is_object()) return facts;
    facts.reserve(info_.size());
    for (const auto& [fileId, entry] : info_.items())
        facts.push_back({fileId, entryState(entry), lastUseOf(entry)});
    return facts;
}

void StateStore::markUsed(const std::vector<std::string>& fileIds) {
    if (fileIds.empty()) return;
    ensureInfoLoaded();
    const int64_t stamp = nextUseStamp();
    std::lock_guard lock(mutex_);
    if (!info_.is_object()) return;
    for (const auto& fileId : fileIds) {
        auto entry = info_.find(fileId);
        if (entry != info_.end() && entry->is_object()) (*entry)[kLastUseKey] = stamp;
    }
}

std::vector<std::string> StateStore::markNeedsDownload(
    const std::vector<std::pair<std::string, uint64_t>>& seen) {
    std::vector<std::string> marked;
    if (seen.empty()) return marked;
    ensureInfoLoaded();
    const auto held = writersLock();
    std::lock_guard lock(mutex_);
    if (!info_.is_object()) return marked;
    for (const auto& [fileId, state] : seen) {
        auto entry = info_.find(fileId);
        if (entry == info_.end() || !entry->is_object() || entryState(*entry) != state) continue;
        (*entry)["fileState"] = uint64_t{QelFileStateNeedsDownload};
        marked.push_back(fileId);
    }
    return marked;
}

bool StateStore::whileNeedsDownload(const std::string& fileId,
                                    const std::function<void()>& action) {
    const auto held = writersLock();
    {
        std::lock_guard lock(mutex_);
        auto entry = info_.is_object() ? info_.find(fileId) : info_.end();
        if (entry == info_.end() || entryState(*entry) != QelFileStateNeedsDownload) return false;
    }
    if (action) action();
    return true;
}

}  // namespace velmora::detail

namespace velmora {

void QelCloudService::markItemsUsedWithFileIds(const std::vector<std::string>& fileIds) {
    d_->store.markUsed(fileIds);
}

std::string QelCloudService::lastUseKey() {
    return detail::kLastUseKey;
}

bool QelCloudService::isCloudUnreachableError(const QelErrorPtr& error) {
    if (!error) return false;
    switch (error->code()) {
        case QelURLErrorTimedOut:
        case QelURLErrorCannotFindHost:
        case QelURLErrorCannotConnectToHost:
        case QelURLErrorNetworkConnectionLost:
            return true;
        default:
            return false;
    }
}

detail::RemovalOutcome QelCloudService::Impl::cleanUp(QelCloudService& service, bool everything,
                                                      bool includingAvatars) {
    detail::StateStore& store = service.d_->store;
    detail::ItemQuota& quota = service.d_->quota;
    std::lock_guard removals(quota.removals());
    std::optional<std::set<std::string>> needed;
    if (!everything) {
        needed = quota.neededIds();
        if (!needed) {
            detail::RemovalOutcome refused;
            refused.error = QelTool::errorWithCode(QelErrorCodeFailure,
                                                   "不知道哪些道具仍被形象使用，未删除任何道具");
            return refused;
        }
    }
    const auto reserved = quota.reserved();
    std::vector<std::pair<std::string, uint64_t>> seen;
    for (const auto& facts : store.entryFacts()) {
        // An entry without a state reads as present; it is left as it stands.
        if (!facts.state || reserved.count(facts.fileId)) continue;
        if (needed && needed->count(facts.fileId)) continue;
        seen.emplace_back(facts.fileId, *facts.state);
    }
    auto outcome = detail::removeItemFiles(store, seen);
    if (everything && !outcome.error) {
        // Written even when nothing changed: a state file that could not be read is rebuilt.
        if (!store.saveInfo())
            outcome.error = QelTool::errorWithCode(
                QelErrorCodeFailure, detail::formatMessage("%@ 保存失败", {store.infoPath()}));
        if (includingAvatars) detail::removeDefaultAvatars(store.root());
    }
    QelTool::normalLog(detail::formatMessage(
        "清理道具：删除 %@ 个文件，共 %@ 字节",
        {std::to_string(outcome.removedFileIds.size()), std::to_string(outcome.removedBytes)}));
    return outcome;
}

void QelCloudService::Impl::cleanUpInBackground(std::shared_ptr<QelCloudService> service,
                                                bool everything, bool includingAvatars,
                                                StoreCleanupCompletion completion) {
    dispatch::globalQueue().async([service = std::move(service), everything, includingAvatars,
                                   completion = std::move(completion)] {
        auto outcome = cleanUp(*service, everything, includingAvatars);
        if (completion)
            dispatch::mainQueue().async([completion, outcome = std::move(outcome)] {
                completion(outcome.error, outcome.removedFileIds, outcome.removedBytes);
            });
    });
}

void QelCloudService::removeUnneededItemsWithCompletion(StoreCleanupCompletion completion) {
    Impl::cleanUpInBackground(shared_from_this(), false, false, std::move(completion));
}

void QelCloudService::removeAllItemsWithCompletion(bool includingAvatars,
                                                   StoreCleanupCompletion completion) {
    Impl::cleanUpInBackground(shared_from_this(), true, includingAvatars, std::move(completion));
}

}  // namespace velmora

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "velmora/cloud_service.h"

namespace velmora::detail {

/// The member of a state entry that holds the item's last use: milliseconds since the Unix
/// epoch. Readers that do not know it pass it by; an entry without it was never used here.
inline constexpr const char* kLastUseKey = "lastUse";

/// An entry's "fileState" as a number; absent when it has none.
std::optional<uint64_t> entryState(const Json& entry);

/// The resource state store: the item list and the per-item states, in memory and in their two
/// files below the download root, with the rules for where item files lie.
///
/// Locks. The writers' lock (`writersLock`) serialises the writers of item states and the save of
/// the info file; it is not re-entrant. The in-memory lists have a lock of their own, held only
/// briefly and never while calling out or waiting for the writers' lock (the writers' lock may be
/// held while taking it, never the reverse).
class StateStore {
  public:
    /// The root below which everything is stored; $HOME/Documents/OSSAssets until one is set.
    std::string root();
    /// Another root than the one held drops the states in memory: the new root's are read from
    /// its own files. Absent brings back the default.
    void setRoot(std::optional<std::string> root);
    std::string itemPath(const std::string& fileId);
    std::string listPath();
    std::string infoPath();

    /// Holds the writers' lock until the guard goes, however its scope is left.
    [[nodiscard]] dispatch::SemaphoreScope writersLock() {
        return dispatch::SemaphoreScope(writers_);
    }

    /// The item list held or read from its file; absent while there is none. A copy.
    Json list();
    void setList(Json list);
    /// The info held or read from its file (with the start-up correction); a copy.
    Json info();
    void setInfo(Json info);

    /// A new info object from an item list document (see `resourceInfoDicWithData`).
    Json infoWithData(const Json& data);
    /// Sets state 1 for listed items whose resource changed; answers their previous icon URLs.
    std::vector<std::string> markChangedItems(const Json& list);
    /// Turns the info into the one of a new document, carrying the states of known items.
    void rebuildInfo(const Json& itemListDic);
    /// The whole refresh with a new item list document: states, info, icons callback, both
    /// saves. Answers 999999 when a file could not be saved.
    QelErrorPtr update(Json itemListDic, const std::shared_ptr<QelProjectJsonModel>& project,
                       const QelCloudService::RemoveIconsBlock& removeIcons);
    /// Sets the state of each known id, with `onlyFrom` only where the state is that one.
    void setStates(const std::vector<std::string>& fileIds, uint64_t state,
                   std::optional<uint64_t> onlyFrom);
    void correctStates();
    /// One entry, copied; absent when there is none.
    Json entry(const std::string& fileId);
    /// Sets the entry's state when its state and "resource_id" are still those of `seen`; false
    /// otherwise. The caller holds the writers' lock.
    bool replaceStateIfUnchanged(const std::string& fileId, const Json& seen, uint64_t state);
    void saveList(const std::shared_ptr<QelProjectJsonModel>& project);
    /// Syncs the root's file system, then writes the info file; false when either failed.
    bool saveInfo();
    /// Reads the info file into memory once, when none is held.
    void ensureInfoLoaded();
    /// Absent while no list is held and the stored file is no JSON object; otherwise the list's
    /// "version" as text (absent when it has none). The stored file is checked, not read in.
    std::optional<std::optional<std::string>> knownListVersion();

    // Last uses and removals (item_cleanup.cpp).

    /// One entry as removals weigh it: its state and last use (absent when it has none).
    struct EntryFacts {
        std::string fileId;
        std::optional<uint64_t> state;
        std::optional<int64_t> lastUse;
    };
    /// Every entry's facts, read under the store's lock.
    std::vector<EntryFacts> entryFacts();
    /// Stamps the known ids with one new last use, later than any stamped before.
    void markUsed(const std::vector<std::string>& fileIds);
    /// Sets 1 for each id whose state is still the one given; answers those it set.
    std::vector<std::string> markNeedsDownload(
        const std::vector<std::pair<std::string, uint64_t>>& seen);
    /// Runs `action` under the writers' lock while the id's state is 1: no batch can mark it
    /// downloading, and so start writing its file, until the action is done. False otherwise.
    bool whileNeedsDownload(const std::string& fileId, const std::function<void()>& action);

  private:
    bool ensureListLoaded();
    /// Saves `document` with the project's item list "version" added, and answers it without.
    Json saveListDocument(Json document, const std::shared_ptr<QelProjectJsonModel>& project,
                          bool* saved = nullptr);
    /// Present (0) when the item's file is proven by its list entry, needs-download (1) otherwise.
    uint64_t verifiedState(const std::string& fileId, const Json* listEntry);
    uint64_t correctedState(const std::string& fileId, uint64_t state, const Json* listEntry);

    std::mutex rootMutex_;
    std::optional<std::string> root_;

    dispatch::Semaphore writers_{1};

    std::mutex mutex_;  // the in-memory lists below
    Json list_ = absentJson();
    Json info_ = absentJson();
    // The stored list file's "version", from a look at the file that did not read the list in.
    // Set only when the file was a JSON object; a held list, once there, speaks instead.
    std::optional<std::optional<std::string>> storedListVersion_;
    // One read of the stored info at a time: a caller that comes during a read waits for it.
    std::mutex infoLoadMutex_;
};

}  // namespace velmora::detail

#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cloud/state_store.h"

// Removing item files from the store, the one way every removal goes (quota, clean-up): only
// regular files the state store records, reached below the root without following links, never
// the SDK's own files, and never a file whose state on disk still says it is there.
namespace velmora::detail {

/// The size of the regular file at each file id below `root`; ids without one (missing, a link,
/// a directory, a path leaving the root) are left out. Links are never followed.
std::map<std::string, int64_t> itemFileSizes(const std::string& root,
                                             const std::vector<std::string>& fileIds);

struct RemovalOutcome {
    QelErrorPtr error;  // the states could not be saved: nothing was removed
    std::vector<std::string> removedFileIds;
    int64_t removedBytes = 0;
};

/// Removes the files of the given entries, each with the state it was seen in:
/// 1. every entry still in that state is set to 1;
/// 2. the states are saved (the save syncs), so no 0 or 3 on disk stands for a file that goes;
/// 3. each file (with its meta file) is unlinked while its state is still 1.
/// A process ended at any point leaves each of these items with its old state and its file, or
/// with 1. Entries in state 2 are never taken: a batch is writing them.
RemovalOutcome removeItemFiles(StateStore& store,
                               const std::vector<std::pair<std::string, uint64_t>>& seen);

/// Empties each default avatar directory below the root's "GAvatarList" (no link) of the files
/// the service writes there, "avatar.json" and "avatar.png" (regular files only), and removes
/// it when nothing else is left in it.
void removeDefaultAvatars(const std::string& root);

}  // namespace velmora::detail

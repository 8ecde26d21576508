#include "resources/avatar_items.h"

#include <algorithm>

#include "cloud/item_files.h"
#include "platform/paths.h"

namespace velmora::resources {

std::vector<std::string> itemsNeededByAvatar(const std::vector<std::string>& named,
                                             const std::shared_ptr<QelAvatar>& avatar,
                                             const std::string& root) {
    std::vector<std::string> needed = named;
    if (!avatar) return needed;
    std::vector<std::string> paths, onDisk;
    for (const auto& fileId : named) {
        if (detail::entryBeneath(root, fileId) != detail::EntryKind::File) continue;
        paths.push_back(platform::appendPathComponent(root, fileId));
        onDisk.push_back(fileId);
    }
    for (const auto& fileId : avatar->checkDefault(paths, onDisk))
        if (std::find(needed.begin(), needed.end(), fileId) == needed.end())
            needed.push_back(fileId);
    return needed;
}

}  // namespace velmora::resources

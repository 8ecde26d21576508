#include "resources/needed_items.h"

#include <set>

#include "core/host_files.h"
#include "platform/paths.h"
#include "velmora/tool.h"

namespace velmora::resources {

std::vector<std::string> itemsNeededByStoredAvatars(
    const std::vector<std::string>& avatarRoots, const std::vector<std::string>& engineDefaults) {
    std::set<std::string> needed(engineDefaults.begin(), engineDefaults.end());
    for (const auto& root : avatarRoots) {
        for (const auto& name : QelTool::assembleAvatarIdsWithPath(root)) {
            const auto text =
                detail::readAvatarDescription(platform::appendPathComponent(root, name));
            if (!text) continue;
            const Json description = detail::parseAvatarDescription(*text);
            const Json& bundles = jsonMemberRef(description, "bundle_list");
            if (!bundles.is_array()) continue;
            for (const auto& bundle : bundles)
                if (bundle.is_string() && !bundle.get_ref<const std::string&>().empty())
                    needed.insert(bundle.get<std::string>());
        }
    }
    needed.erase(std::string());
    return {needed.begin(), needed.end()};
}

}  // namespace velmora::resources

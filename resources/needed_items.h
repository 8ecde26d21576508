#pragma once

#include <string>
#include <vector>

// The items a stored avatar needs: what an avatar directory's description names, wherever the
// directory lies (built-in, custom or default avatars), and the engine's default set.
namespace velmora::resources {

/// The file ids that the avatars stored directly below the roots name in their descriptions'
/// "bundle_list", with the engine's default file ids; sorted, each once. Directories and files
/// are read as the avatar store reads them (no links, bounded); an unreadable description names
/// nothing.
std::vector<std::string> itemsNeededByStoredAvatars(const std::vector<std::string>& avatarRoots,
                                                    const std::vector<std::string>& engineDefaults);

}  // namespace velmora::resources

#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/avatar.h"

// The items an avatar needs, as a load of it would ask for them.
namespace velmora::resources {

/// `named` (the file ids its description names, in order), then the engine's defaults for the
/// categories that the named bundles on disk below `root` leave uncovered. A bundle is read only
/// when it is a regular file reached without links; one not on disk covers nothing. Without an
/// engine avatar, `named`.
std::vector<std::string> itemsNeededByAvatar(const std::vector<std::string>& named,
                                             const std::shared_ptr<QelAvatar>& avatar,
                                             const std::string& root);

}  // namespace velmora::resources

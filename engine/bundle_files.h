#pragma once

#include <string>

// The SDK's own rules for the files it keeps beside the engine's bundles. Not an engine
// declaration: it is compiled into the SDK, whichever engine is linked.

namespace velmora::detail {

/// The meta file kept beside a bundle: the bundle's path without trailing slashes and without
/// its extension, followed by "_meta".
std::string bundleMetaPath(const std::string& bundlePath);

}  // namespace velmora::detail

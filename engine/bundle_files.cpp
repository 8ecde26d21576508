#include "engine/bundle_files.h"

#include <filesystem>

namespace velmora::detail {

std::string bundleMetaPath(const std::string& bundlePath) {
    std::string trimmed = bundlePath;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::filesystem::path p(trimmed);
    if (p.has_filename()) p.replace_extension();
    return p.string() + "_meta";
}

}  // namespace velmora::detail

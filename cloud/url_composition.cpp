// Where requests go and where files land.
#include "cloud/private.h"
#include "platform/paths.h"

namespace velmora {
namespace cloud {

bool isSafeRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        const std::string component =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (component == "..") return false;
        if (slash == std::string::npos) return !component.empty() && component != ".";
        start = slash + 1;
    }
}

}  // namespace cloud

std::string QelCloudService::apiBasePathPrefix() const {
    return config().apiBasePath() + "/api/";
}

std::string QelCloudService::downloadRootPath() {
    std::lock_guard lock(d_->fieldsMutex);
    if (!d_->downloadRoot)
        d_->downloadRoot =
            platform::appendPathComponent(platform::documentsDirectory(), "OSSAssets");
    return *d_->downloadRoot;
}

std::string QelCloudService::itemPath(const std::string& fileId) {
    return platform::appendPathComponent(downloadRootPath(), fileId);
}

std::string QelCloudService::pathOfResourceListJson() {
    return platform::appendPathComponent(downloadRootPath(), "GGenerateJson/resource_list.json");
}

std::string QelCloudService::pathOfResourceInfoJson() {
    return platform::appendPathComponent(downloadRootPath(), "GGenerateJson/resource_info.json");
}

}  // namespace velmora

// What avatars take on disk, and what loading them would fetch.
#include <map>

#include "cloud/disk_usage.h"
#include "core/host_calls.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "resources/avatar_items.h"
#include "resources/private.h"
#include "velmora/resource_kit.h"
#include "velmora/tool.h"

namespace velmora {
namespace avatarusage {

// "fileState" as the loader reads it: absent, or not a number, reads as 0.
int64_t loaderState(const Json& entry) {
    const Json& state = jsonMemberRef(entry, QelCloudService::fileStateKey());
    if (state.is_number_integer()) return state.get<int64_t>();
    if (state.is_number()) return static_cast<int64_t>(state.get<double>());
    return 0;
}

struct Request {
    QelAvatarModelPtr model;
    std::vector<std::string> named;
    std::shared_ptr<QelAvatar> avatar;
};

}  // namespace avatarusage

void QelResourceKit::getItemUsageWithAvatarModels(const ModelList& models,
                                                  ItemUsageCompletion completion) {
    // Models have no lock of their own: what the host's thread must do is done here.
    std::vector<avatarusage::Request> requests;
    const ModelList chosen = models.empty() ? avatarModels().value_or(ModelList()) : models;
    for (const auto& model : chosen) {
        if (!model) continue;
        requests.push_back({model, model->avatarJsonFileIds(), model->avatar()});
    }
    auto factory = std::dynamic_pointer_cast<QelResourceFactory>(resourceLoader());
    std::shared_ptr<QelCloudService> service =
        factory ? factory->service() : QelCloudService::sharedService();
    std::string root = factory ? factory->downloadRootPath() : std::string();
    dispatch::globalQueue().async([requests = std::move(requests), service, root = std::move(root),
                                   completion = std::move(completion)]() mutable {
        if (root.empty()) root = service->downloadRootPath();
        const Json info = service->resourceInfoDic();
        std::map<std::string, int64_t> sizes;
        const Json stored = service->resourceListDic();
        const Json& listed = jsonMemberRef(stored, "list");
        if (listed.is_array()) {
            for (const auto& item : listed) {
                const Json& path = jsonMemberRef(item, "path");
                const Json& size = jsonMemberRef(item, "size");
                if (path.is_string() && size.is_number_integer() && size.get<int64_t>() >= 0)
                    sizes[path.get<std::string>()] = size.get<int64_t>();
            }
        }
        std::vector<QelAvatarItemUsageModel> usages;
        for (const auto& request : requests) {
            QelAvatarItemUsageModel usage;
            usage.avatarModel = request.model;
            usage.fileIds = resources::itemsNeededByAvatar(request.named, request.avatar, root);
            for (const auto& fileId : usage.fileIds) {
                const Json& entry = jsonMemberRef(info, fileId);
                if (isAbsent(entry) || !resources::isSafeRelativePath(fileId)) {
                    usage.invalidFileIds.push_back(fileId);
                    continue;
                }
                usage.bytesOnDisk += detail::itemBytesOnDisk(root, fileId).value_or(0);
                // What the loader counts as local, it does not fetch.
                if (QelTool::isExist(platform::appendPathComponent(root, fileId)) &&
                    avatarusage::loaderState(entry) != QelFileStateNeedsDownload)
                    continue;
                usage.fetchFileIds.push_back(fileId);
                const auto size = sizes.find(fileId);
                if (size == sizes.end())
                    usage.unsizedFileIds.push_back(fileId);
                else
                    usage.bytesToFetch += size->second;
            }
            usages.push_back(std::move(usage));
        }
        if (completion)
            detail::callHostBlock("the item usage completion", [&] { completion(usages); });
    });
}

}  // namespace velmora

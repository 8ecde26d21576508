// The project configuration record.
#include "velmora/cloud_service.h"

namespace velmora {

std::shared_ptr<QelProjectJsonModel> QelProjectJsonModel::createWithData(const Json& data) {
    auto model = std::make_shared<QelProjectJsonModel>();
    const Json list = jsonMember(data, "list");
    if (!list.is_array() || list.empty()) return model;

    const Json* entry = nullptr;
    for (const auto& candidate : list) {
        const Json type = jsonMember(candidate, "type");
        if (type.is_string() && type.get<std::string>() == "ORVG") {
            entry = &candidate;
            break;
        }
    }
    if (!entry) return model;

    std::vector<Json> avatarIds;
    const Json avatars = jsonMember(*entry, "avatar_list");
    if (avatars.is_array()) {
        for (const auto& avatar : avatars) {
            const Json id = jsonMember(avatar, "avatar_id");
            if (!isAbsent(id)) avatarIds.push_back(id);
        }
    }
    model->setAvatarIdList(std::move(avatarIds));

    const Json version = jsonMember(*entry, "item_list_version");
    if (version.is_number())
        model->setItemListVersion(version.dump());
    else if (version.is_string())
        model->setItemListVersion(version.get<std::string>());
    const Json url = jsonMember(*entry, "item_list_url");
    if (url.is_string()) model->setItemListUrl(url.get<std::string>());
    return model;
}

}  // namespace velmora

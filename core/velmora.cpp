#include "platform/paths.h"
#include "velmora/avatar_helper.h"
#include "velmora/cloud_service.h"
#include "velmora/facade.h"
#include "velmora/networking.h"
#include "velmora/resource_kit.h"
#include "velmora/version.h"

namespace velmora {

extern "C" {
const double VelmoraVersionNumber = 1.0;
const unsigned char VelmoraVersionString[] = "@(#)PROGRAM:Velmora  PROJECT:Velmora-1\n";
}

std::string Velmora::version() {
    return VELMORA_VERSION_TEXT;
}

std::optional<std::string> Velmora::commitHash() {
    const Json& info = platform::libraryInfoDictionary();
    const auto it = info.find("QelGitCommitId");
    if (it == info.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void Velmora::destroy() {
    QelResourceKit::destroy();
    QelCloudService::destroy();
    QelNetworking::destroy();
    QelAvatarHelper::destroy();
}

}  // namespace velmora

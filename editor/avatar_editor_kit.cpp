#include "velmora/avatar_editor_kit.h"

#include "engine/avatar.h"
#include "platform/log.h"

namespace velmora {

void QelAvatarEditorKit::setColor(QelColor color, const std::string& key) {
    const auto avatar = avatar_;
    if (!avatar) {
        platform::systemLog("编辑模块的avatar 为空，无法设置颜色");
        return;
    }
    avatar->setRGBAColor(color, key);
}

void QelAvatarEditorKit::setDeformation(double value, const std::string& key) {
    const auto avatar = avatar_;
    if (!avatar) {
        platform::systemLog("编辑模块的avatar 为空，无法设置捏形");
        return;
    }
    avatar->setDeformationValue(value, key);
}

void QelAvatarEditorKit::updateComponentsWithNewComponents(
    const std::vector<std::shared_ptr<QelItem>>& newComponents,
    const std::vector<std::string>& oldComponents) {
    const auto avatar = avatar_;
    if (!avatar) return;
    avatar->addNewComponentsWithRemoveComponentNames(newComponents, oldComponents);
}

}  // namespace velmora

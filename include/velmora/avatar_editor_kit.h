#pragma once

#include <memory>
#include <string>
#include <vector>

#include "velmora/export.h"

namespace velmora {

// The engine's types (engine/avatar.h, engine/item.h, engine/types.h).
class QelAvatar;
class QelItem;
struct QelColor;

/// Edits one live engine avatar: colours, shape (deformations) and components go to the engine
/// exactly as given, synchronously on the calling thread. The kit keeps no editing state, no
/// history and checks nothing; keys, ranges and effects are the engine's. It takes no lock: use
/// one kit from one thread at a time.
class VELMORA_EXPORT QelAvatarEditorKit {
  public:
    QelAvatarEditorKit() = default;
    explicit QelAvatarEditorKit(std::shared_ptr<QelAvatar> avatar) : avatar_(std::move(avatar)) {}

    /// The avatar being edited; none until the host sets one.
    const std::shared_ptr<QelAvatar>& avatar() const { return avatar_; }
    void setAvatar(std::shared_ptr<QelAvatar> avatar) { avatar_ = std::move(avatar); }

    /// `setRGBAColor(color, key)` on the avatar; without one, a line in the system log.
    void setColor(QelColor color, const std::string& key);
    /// `setDeformationValue(value, key)` on the avatar; without one, a line in the system log.
    void setDeformation(double value, const std::string& key);
    /// `addNewComponentsWithRemoveComponentNames(newComponents, oldComponents)` on the avatar,
    /// both lists as given; nothing without an avatar.
    void updateComponentsWithNewComponents(
        const std::vector<std::shared_ptr<QelItem>>& newComponents,
        const std::vector<std::string>& oldComponents);

  private:
    std::shared_ptr<QelAvatar> avatar_;
};

}  // namespace velmora

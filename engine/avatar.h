#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine_export.h"
#include "item.h"
#include "types.h"

namespace velmora {

/// A live engine avatar. Avatars are shared (`std::shared_ptr`); `copy` makes an independent one.
/// Calls on one avatar from several threads are serialised by the avatar itself.
class QEL_ENGINE_EXPORT QelAvatar {
  public:
    /// A new avatar from the engine's controller configuration, animation graph and animation
    /// logic files, or none when the engine cannot use them.
    static std::shared_ptr<QelAvatar> initWithControllerConfigPath(const std::string& configPath,
                                                                   const std::string& graphPath,
                                                                   const std::string& logicPath);

    /// Applies a description (JSON text); answers the file ids of its bundles, empty when the
    /// description has none or cannot be read.
    std::vector<std::string> updateAvatarStr(const std::string& avatarStr,
                                             const std::vector<std::string>& pres);
    /// The current avatar as a description (JSON text holding "bundle_list").
    std::string avatarJsonWithName(const std::string& name) const;
    /// An independent avatar with the same state.
    std::shared_ptr<QelAvatar> copy() const;

    /// The file ids the avatar needs for the given bundles (paths and their file ids, same
    /// order): the given ids followed by the engine's defaults for what they leave uncovered.
    std::vector<std::string> checkDefault(const std::vector<std::string>& paths,
                                          const std::vector<std::string>& fileIds) const;

    /// Removes the components with the given file ids, then loads the items.
    void addNewComponentsWithRemoveComponentFileIds(const std::vector<QelItemPtr>& components,
                                                    const std::vector<std::string>& fileIds);
    /// Removes the components with the given names, then loads the items.
    void addNewComponentsWithRemoveComponentNames(const std::vector<QelItemPtr>& components,
                                                  const std::vector<std::string>& names);

    void setRGBAColor(const QelColor& color, const std::string& key);
    void setDeformationValue(double value, const std::string& key);

    ~QelAvatar();
    QelAvatar(const QelAvatar&) = delete;
    QelAvatar& operator=(const QelAvatar&) = delete;

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit QelAvatar(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

using QelAvatarPtr = std::shared_ptr<QelAvatar>;

}  // namespace velmora

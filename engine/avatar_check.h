#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine_export.h"

namespace velmora {

/// The engine's default set: the bundles an avatar gets where its own bundles leave a gap.
class QEL_ENGINE_EXPORT QelAvatarCheck {
  public:
    /// A checker from the default JSON text, or none when the text is not a default set.
    static std::shared_ptr<QelAvatarCheck> checkDefaultJson(const std::string& defaultJson);
    /// The meta text of the bundle at `bundlePath`; empty when the file carries none.
    static std::string getMetaWithBundlePath(const std::string& bundlePath);

    /// Loads the default bundles at `paths`; true when every one was loaded.
    bool addDefaultBundleWithPaths(const std::vector<std::string>& paths);
    /// The file ids of the default set.
    std::vector<std::string> defaultPaths() const;

    ~QelAvatarCheck();
    QelAvatarCheck(const QelAvatarCheck&) = delete;
    QelAvatarCheck& operator=(const QelAvatarCheck&) = delete;

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit QelAvatarCheck(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

using QelAvatarCheckPtr = std::shared_ptr<QelAvatarCheck>;

}  // namespace velmora

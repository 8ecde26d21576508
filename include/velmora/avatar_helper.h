#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"

namespace velmora {

class QelAvatar;
class QelAvatarCheck;

/// The shared holder of what every engine avatar is made from: the engine's controller
/// configuration, animation graph and animation logic files, and the engine's default set read
/// from a default JSON file. The host sets the paths before the first avatar is created; the
/// helper has no defaults of its own.
///
/// The fields are guarded, so reads and writes from several threads are safe; the lazy getters
/// build their value at most once per cache miss.
class VELMORA_EXPORT QelAvatarHelper {
  public:
    /// The shared helper, created on the first call (once, also under concurrent first calls).
    static std::shared_ptr<QelAvatarHelper> shareHelper();
    /// Drops the shared helper; the next `shareHelper()` makes a new one with no paths.
    static void destroy();

    /// A new engine avatar from the shared helper's three engine files, or none (with an error
    /// log line) when one of them does not exist. Does not create the shared helper.
    static std::shared_ptr<QelAvatar> createAvatar();
    /// Loads default bundles through the shared helper's checker; false when there is none.
    static bool loadDefaultBundleWithPaths(const std::vector<std::string>& paths);
    /// The meta file of a bundle: its path without extension followed by "_meta".
    static std::string metaPath(const std::string& bundlePath);

    std::string controllerConfigPath() const;
    void setControllerConfigPath(const std::string& path);
    std::string animationGraphPath() const;
    void setAnimationGraphPath(const std::string& path);
    std::string animationLogicPath() const;
    void setAnimationLogicPath(const std::string& path);
    std::string defaultJsonPath() const;
    void setDefaultJsonPath(const std::string& path);

    /// The checker built from the default JSON on first read; none (and nothing cached) while
    /// the file is missing, empty or not a default set.
    std::shared_ptr<QelAvatarCheck> avatarCheck();
    void setAvatarCheck(std::shared_ptr<QelAvatarCheck> avatarCheck);

    /// The checker's default file ids, cached on first read; none while there is no checker.
    std::optional<std::vector<std::string>> defaultFileIds();
    void setDefaultFileIds(std::optional<std::vector<std::string>> defaultFileIds);

    QelAvatarHelper();
    ~QelAvatarHelper();
    QelAvatarHelper(const QelAvatarHelper&) = delete;
    QelAvatarHelper& operator=(const QelAvatarHelper&) = delete;

  private:
    std::shared_ptr<QelAvatarCheck> avatarCheckLocked();

    mutable std::mutex mutex_;
    std::string controllerConfigPath_;
    std::string animationGraphPath_;
    std::string animationLogicPath_;
    std::string defaultJsonPath_;
    std::shared_ptr<QelAvatarCheck> avatarCheck_;
    std::optional<std::vector<std::string>> defaultFileIds_;
};

}  // namespace velmora

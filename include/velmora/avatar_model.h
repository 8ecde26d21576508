#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"
#include "velmora/image.h"
#include "velmora/json.h"

namespace velmora {

class QelAvatar;

/// One avatar as the SDK keeps it: a directory holding its description ("avatar.json") and its
/// icon ("avatar.png"), and the live engine avatar built from that description.
///
/// Everything is loaded lazily: creating a model reads nothing. A getter that finds nothing to
/// load caches nothing, so the next read tries again. A model has no lock: use it from one thread
/// at a time (the avatar store hands models over between threads, never shares them in use).
///
/// "avatar.json" is one JSON object produced and consumed by the engine; the SDK itself reads
/// only "bundle_list" (the bundles' file ids) and "gender" (a number whose integer part is 0, or
/// exactly the text "male", is male; anything else, or nothing, is female).
///
/// The directory's files may be anything. The directory and its files are read only when they
/// are what they claim to be: the directory no link, each file a regular file and no link (a FIFO
/// is never waited on). A description is read, applied and written only within
/// `QelTool::kMaxAvatarDescriptionBytes` and 128 levels of nesting; one outside that reads as
/// unreadable.
class VELMORA_EXPORT QelAvatarModel {
  public:
    /// A model for an existing avatar directory.
    QelAvatarModel(std::string name, std::string avatarPath);
    /// A model without directory or name that carries a description for its first `save`; the
    /// avatar store gives it a directory before saving.
    explicit QelAvatarModel(std::string avatarJson);
    ~QelAvatarModel();
    QelAvatarModel(const QelAvatarModel&) = delete;
    QelAvatarModel& operator=(const QelAvatarModel&) = delete;

    /// The icon: cached, else "avatar.png" of the directory decoded under the icon budget
    /// (`QelImage::iconWithData`; nothing cached when it is missing, over the budget or does not
    /// decode).
    QelImagePtr iconImage();
    /// Sets the icon and remembers it as new, to be written by the next `save`.
    void setIconImage(QelImagePtr image);

    /// The description as a JSON object: cached, else parsed from the description given at
    /// creation, else from "avatar.json". Absent (and nothing cached) when unreadable.
    Json avatarInfo();
    void setAvatarInfo(Json avatarInfo);

    /// 0 male, 1 female: computed from `avatarInfo()` on every read.
    uint64_t gender();
    void setGender(uint64_t gender);
    /// {"gender": "male" | "female"}, built once from `gender()` and then kept.
    Json genderFilter();
    void setGenderFilter(Json genderFilter);

    /// The engine avatar: cached, else made by `QelAvatarHelper::createAvatar()` with the
    /// description applied. None (and nothing cached) without engine files or description.
    std::shared_ptr<QelAvatar> avatar();
    /// Replacing the engine avatar by another (or none) clears `addedBaseComponents`, which
    /// belongs to the engine avatar it was set for.
    void setAvatar(std::shared_ptr<QelAvatar> avatar);
    /// `avatar()` (made if needed), then `jsonFileIds()`.
    std::vector<std::string> avatarJsonFileIds();
    /// File ids of the description's bundles, as the engine answered when it applied it.
    const std::vector<std::string>& jsonFileIds() const { return jsonFileIds_; }
    void setJsonFileIds(std::vector<std::string> jsonFileIds) {
        jsonFileIds_ = std::move(jsonFileIds);
    }

    /// Writes the icon (when a new one was set) and the description into the avatar directory,
    /// which must exist and be no link. The description given at creation is written as it is
    /// (and then dropped) when it is a JSON object the model could read back; otherwise the
    /// engine avatar's own, which must list bundles. False (with a log line) inside an
    /// application package, without a directory, for a link, for a description it could not
    /// read back, or when the write fails; a failed save leaves "avatar.json" as it was.
    bool save();
    /// Writes a new icon, fitted into 150 points of width and drawn upright, to "avatar.png"; the
    /// icon stays new until a write succeeds. True when there was nothing to write or the write
    /// succeeded.
    bool saveIconImage();

    /// Drops the engine avatar, its file ids and `addedBaseComponents`; the next `avatar()` makes
    /// a new engine avatar, and the next load adds its items again.
    void destroyAvatar();
    /// True when the avatar path contains ".app": such avatars lie in the read-only application
    /// package and are neither saved nor deleted.
    bool isAppBundleAvatarPath() const;

    /// A new model with the same values and an independent copy of the engine avatar; the icon
    /// is new to the clone, the description given at creation is not carried over.
    std::shared_ptr<QelAvatarModel> clone();
    /// Takes the source's values into this model, sharing the source's engine avatar itself.
    void cloneAvatarModel(const std::shared_ptr<QelAvatarModel>& source);

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& avatarId() const { return avatarId_; }
    void setAvatarId(std::string avatarId) { avatarId_ = std::move(avatarId); }
    const std::string& avatarPath() const { return avatarPath_; }
    void setAvatarPath(std::string avatarPath) { avatarPath_ = std::move(avatarPath); }
    /// The base items of the description are in the engine avatar (set by the avatar store).
    bool addedBaseComponents() const { return addedBaseComponents_; }
    void setAddedBaseComponents(bool added) { addedBaseComponents_ = added; }

  private:
    std::string avatarJsonPath() const;
    // The description given at creation, else "avatar.json" as read (bounded, no links).
    std::optional<std::string> descriptionText() const;

    QelImagePtr newIconImage_;
    std::string avatarJson_;
    bool addedBaseComponents_ = false;
    QelImagePtr iconImage_;
    std::string name_;
    std::string avatarId_;
    std::string avatarPath_;
    uint64_t gender_ = 1;
    Json genderFilter_ = absentJson();
    std::shared_ptr<QelAvatar> avatar_;
    Json avatarInfo_ = absentJson();
    std::vector<std::string> jsonFileIds_;
};

using QelAvatarModelPtr = std::shared_ptr<QelAvatarModel>;

}  // namespace velmora

#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/avatar_model.h"
#include "velmora/cloud_service.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/resource_factory.h"

namespace velmora {

/// User-information entry of the error a load reports when the cloud cannot be reached: the file
/// ids that could not be loaded, as a JSON array text.
inline constexpr const char* kQelFailedFileIdsKey = "QelFailedFileIds";

/// The host's configuration of the avatar store. A plain value: the store keeps its own copy.
class VELMORA_EXPORT QelResourceManageConfig {
  public:
    /// Root of the custom avatars; "" means $HOME/Documents/avatarsData.
    const std::string& customAvatarRootPath() const { return customAvatarRootPath_; }
    void setCustomAvatarRootPath(std::string path) { customAvatarRootPath_ = std::move(path); }
    /// Root of the built-in avatars (those shipped with the host application).
    const std::string& buildInAvatarsPath() const { return buildInAvatarsPath_; }
    void setBuildInAvatarsPath(std::string path) { buildInAvatarsPath_ = std::move(path); }

  private:
    std::string customAvatarRootPath_;
    std::string buildInAvatarsPath_;
};

/// The shared local avatar store: lists the avatars below the built-in and the custom root,
/// saves avatars into the right root, deletes them, and loads an avatar's items into its engine
/// avatar, fetching missing item files through its resource loader.
///
/// An avatar directory lies directly below a root and holds "avatar.json". A model is built-in
/// when the built-in list of the latest listing holds that very model object.
///
/// Threads. The store's own fields and lists are guarded: a reader sees a list before or after a
/// listing replaced it, never a torn one, and no lock is held while calling out, so callbacks may
/// call back into the store. Models themselves have no lock (see QelAvatarModel); the host
/// serialises saving, deleting and listing.
class VELMORA_EXPORT QelResourceKit : public std::enable_shared_from_this<QelResourceKit> {
  public:
    using ModelList = std::vector<QelAvatarModelPtr>;
    /// The models, or none when the store is not set up.
    using ListCompletion = std::function<void(const std::optional<ModelList>& avatarModels)>;
    using ErrorCompletion = std::function<void(const QelErrorPtr& error)>;
    using ProgressBlock = QelResourceFactoryProtocol::ProgressBlock;

    /// The shared store, made on the first call (once, also under concurrent first calls).
    static std::shared_ptr<QelResourceKit> sharedManager();
    /// Drops the shared store; the next `sharedManager()` makes a new, unconfigured one. Safe
    /// when none was ever made. Work in flight keeps the store it started on alive.
    static void destroy();

    ~QelResourceKit();
    QelResourceKit(const QelResourceKit&) = delete;
    QelResourceKit& operator=(const QelResourceKit&) = delete;

    /// Keeps the configuration and the loader and takes the configuration's custom root. Sets
    /// the cloud service's needed-ids block (`QelCloudService::setNeededFileIdsBlock`) to this
    /// store's `neededFileIds`, so the byte cap and clean-ups keep what the avatars need: on
    /// the loader's service for a `QelResourceFactory`, else on the shared service. A host that
    /// makes a new service afterwards sets the store up again, or sets the block itself.
    void setupWithConfig(const QelResourceManageConfig& config,
                         std::shared_ptr<QelResourceFactoryProtocol> resourceLoader);

    /// The file ids that the stored avatars need, as their directories say now: those the
    /// descriptions ("bundle_list") of the built-in, the custom and the cloud's default avatars
    /// (below the service's `avatarRootPath`) name, and the engine's default set
    /// (`QelAvatarHelper::defaultFileIds`). Sorted, each once. Reads the disk.
    std::vector<std::string> neededFileIds();

    // Listing

    /// Rescans both roots on the background queue and reports `avatarModels()` there. Without a
    /// configuration: an error log line and, on the calling thread, a completion without list.
    void getAvatarListWithCompletion(ListCompletion completion);
    /// Replaces both lists by fresh models from a rescan.
    void loadAvatarModels();
    ModelList loadBuiltinAvatarModels();
    ModelList loadCustomAvatarModels();
    ModelList loadAvatarModelsWithAvatarsNameArray(const std::vector<std::string>& avatarsNameArray,
                                                   const std::string& avatarRootPath);
    QelAvatarModelPtr loadAvatarWithName(const std::string& name, const std::string& avatarPath);

    // Loading an avatar's items

    /// Passes its arguments to the loader. Without a loader the completion gets error 777777.
    void getSourceRemoteWithSourceIds(const std::vector<std::string>& sourceIds,
                                      ProgressBlock progress,
                                      QelResourceFactoryProtocol::Completion completion);
    /// Makes the model's item files available (the engine's defaults included) and adds them to
    /// its engine avatar. Unknown items (warning 888888) do not stop loading and are reported.
    /// The completion runs on the thread of the loader's reply: at once on this thread when
    /// every file is on disk, else after the download. Loading a model whose items were added
    /// completes at once with no error.
    ///
    /// When the cloud cannot be reached (`QelCloudService::isCloudUnreachableError`), the items
    /// on disk are added all the same and the completion gets the connection error with the
    /// file ids it could not load under `kQelFailedFileIdsKey`; the model's base items then do
    /// not count as added, so a later load adds the rest.
    void loadAvatarBaseItemsWithAvatarModel(const QelAvatarModelPtr& avatarModel,
                                            ProgressBlock progress, ErrorCompletion completion);
    /// The same, with the options handed to the loader's requests. After a cancel of the token
    /// the completion gets "NSURLErrorDomain" -999 once and the model stays unloaded; the loader
    /// decides how soon (the SDK's loader at once, a host's that ignores options when its
    /// request ends). Byte progress counts each request from zero: a load that needs engine
    /// defaults too makes two.
    void loadAvatarBaseItemsWithAvatarModel(const QelAvatarModelPtr& avatarModel,
                                            ProgressBlock progress, ErrorCompletion completion,
                                            const QelTransferOptions& options);
    /// The models reordered by the reference ids (first match per id), the rest after them.
    std::vector<QelFileModel> sortArray(const std::vector<QelFileModel>& array,
                                        const std::vector<std::string>& referArray) const;
    /// {paths, file ids} of the models, in model order (empty values left out).
    std::array<std::vector<std::string>, 2> parseFileIdsAndPathsWithFileModels(
        const std::vector<QelFileModel>& fileModels) const;
    /// Makes engine items of the files, adds them to the model's engine avatar and marks the
    /// model's base items as added.
    void avatarLoadItemsWithModel(const QelAvatarModelPtr& avatarModel,
                                  const std::vector<QelFileModel>& fileModels);

    // What avatars take

    using ItemUsageCompletion =
        std::function<void(const std::vector<QelAvatarItemUsageModel>& usages)>;
    /// For each model (none given: every avatar of the latest listing), the items it needs with
    /// its engine's defaults, their bytes on disk, and what a load would download now with the
    /// bytes the stored item list names for it; nothing is downloaded. The models' engine
    /// avatars are made on this thread; the disk is read on the background queue, where the
    /// completion runs. Files and state come from the loader when it is a QelResourceFactory,
    /// else from the shared cloud service.
    void getItemUsageWithAvatarModels(const ModelList& models, ItemUsageCompletion completion);

    // Saving and deleting

    bool saveAvatarModel(const QelAvatarModelPtr& avatarModel);
    /// The text is not used: what is written is the model's own description.
    bool saveAvatarModel(const QelAvatarModelPtr& avatarModel, const std::string& avatarJson);
    /// Moves the model to its directory: named by its avatar id, else its directory's name, else
    /// a new time stamp; below the built-in root for a built-in model, else the custom root. The
    /// model takes the path and name and joins the custom list. What moves is the model's whole
    /// directory, and only an avatar directory of its own (no link, with a regular "avatar.json")
    /// directly below one of the two roots, never a root. False, with nothing moved or changed,
    /// when the name is not one safe path component, when the model names any other directory,
    /// when the target is taken (another avatar is never overwritten), when the move fails, and
    /// for a built-in model without a built-in root (logged with 777777).
    bool preSaveWithAvatarModel(const QelAvatarModelPtr& avatarModel);
    /// The local time as "yyyyMMddHHmmssSSS", stepped on to the next millisecond while that name
    /// is taken (below either root, or issued before by this store).
    std::string getNewAvatarDirName();
    /// Creates the directory with its parents; an existing one counts as success.
    bool createAvatarPath(const std::string& path);
    bool isExistInCustomAvatarList(const QelAvatarModelPtr& avatarModel);
    bool isBuildinAvatar(const QelAvatarModelPtr& avatarModel);

    /// Removes an avatar directory with everything in it and drops the model from the lists.
    /// Refused (false, with a log line) for a model inside an application package, a missing
    /// directory, and any directory that is not an avatar directory (a link, no regular
    /// "avatar.json", or a root, the Documents directory or "/").
    bool deleteAvatarModel(const QelAvatarModelPtr& avatarModel);
    /// A model exists and its path is not inside an application package.
    bool canDeleteAvatarModel(const QelAvatarModelPtr& avatarModel);

    // Fields

    /// The custom root in use; "" on read becomes $HOME/Documents/avatarsData.
    std::string customAvatarRootPath();
    void setCustomAvatarRootPath(std::string path);
    std::optional<ModelList> buildinAvatars() const;
    void setBuildinAvatars(std::optional<ModelList> models);
    std::optional<ModelList> customAvatars() const;
    void setCustomAvatars(std::optional<ModelList> models);
    /// Built-in models followed by custom ones; none before the first listing.
    std::optional<ModelList> avatarModels() const;
    std::optional<QelResourceManageConfig> config() const;
    void setConfig(std::optional<QelResourceManageConfig> config);
    std::shared_ptr<QelResourceFactoryProtocol> resourceLoader() const;
    void setResourceLoader(std::shared_ptr<QelResourceFactoryProtocol> resourceLoader);

  private:
    QelResourceKit();
    std::string customRootLocked();
    void fetchSources(const std::vector<std::string>& sourceIds, const QelTransferOptions& options,
                      ProgressBlock progress, QelResourceFactoryProtocol::Completion completion);
    void continueLoading(const QelAvatarModelPtr& model, std::vector<std::string> requested,
                         const QelDownloadResultModel& first, ProgressBlock progress,
                         ErrorCompletion completion, const QelTransferOptions& options);
    /// The service the loader reads the state store from (the shared one for a host's loader).
    std::shared_ptr<QelCloudService> loaderService() const;
    /// Marks a load made without the cloud as not complete; answers its error, which names the
    /// file ids that failed.
    static QelErrorPtr partialLoad(const QelAvatarModelPtr& model, const QelErrorPtr& unreachable,
                                   const std::vector<std::string>& failed,
                                   const std::vector<std::string>& alsoFailed);

    mutable std::mutex mutex_;
    std::string customAvatarRootPath_;
    std::optional<ModelList> buildinAvatars_;
    std::optional<ModelList> customAvatars_;
    std::optional<QelResourceManageConfig> config_;
    std::shared_ptr<QelResourceFactoryProtocol> resourceLoader_;
    int64_t lastIssuedStamp_ = 0;
};

}  // namespace velmora

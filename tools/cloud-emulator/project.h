#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The emulated cloud project as it lives in its data directory:
//   project.json        credentials, current item list version, default avatar ids
//   ui_config.json      the UI configuration, served as it is
//   items/              the working tree that `publish` turns into a new item list version
//   store/<md5>         every published file (items and icons), never changed once written
//   resources.json      resource id -> {"path", "md5", "size"} for every version ever published
//   versions/<N>.json   the item list document of version N
//   avatars/<id>/       avatar.json and avatar.png of every stored avatar
//   tasks/<id>.json     generation tasks with their results
namespace velmora::emulator {

using Json = nlohmann::json;

struct Credentials {
    std::string apiKey;
    std::string apiSecret;
    std::string appid;
};

/// What `--sample` creates: `items` 0 means the standard sample of a few dozen items.
struct SampleOptions {
    size_t items = 0;
    size_t itemSize = 0;
};

struct Task {
    std::string id;
    int64_t gender = 0;
    int64_t createdMs = 0;
    int64_t readyMs = 0;
    std::string photoDigest;
    Json result;
};

class Project {
  public:
    /// Opens the project in `dir`, creating it (filled with the sample when `sample` is given)
    /// when the directory holds none. Throws std::runtime_error when it cannot.
    static std::unique_ptr<Project> open(const std::filesystem::path& dir,
                                         const std::optional<SampleOptions>& sample);

    const std::filesystem::path& dir() const { return dir_; }
    Credentials credentials();

    /// Turns the items below items/ into a new item list version and answers its number.
    int64_t publish();
    int64_t itemListVersion();

    /// The "data" of items/v3/app/query; URLs start with `base` (scheme, host and port).
    Json projectConfig(const std::string& base);
    Json uiConfig();
    /// The item list document of a version as served, or absent for an unknown version.
    std::optional<std::string> itemListDocument(int64_t version, const std::string& base);
    /// One "resource_list" entry per distinct known id, in request order; unknown ids are left out.
    Json resourceList(const std::vector<std::string>& ids, const std::string& base);
    /// The stored file of a published digest, or absent.
    std::optional<std::filesystem::path> storeFile(std::string_view md5) const;

    /// The "data" of items/v3/avatar/query, or absent for an unknown avatar.
    std::optional<Json> avatarAnswer(const std::string& id, const std::string& base);
    std::string createAvatar(const Json& description, const std::string& png);
    std::optional<std::filesystem::path> avatarIcon(std::string_view id) const;
    std::vector<std::string> avatarIds();

    /// Starts a generation: the result is fixed now, from the photo, the gender and the current
    /// catalogue, and is handed out from `readyMs` on.
    Task createTask(const std::string& photo, int64_t gender, int64_t nowMs, int64_t readyMs);
    std::optional<Task> task(const std::string& id);
    std::vector<Task> tasks();

    /// A generated avatar description: the same seed, gender and item list give the same result.
    static Json describeAvatar(const std::string& seedHex, int64_t gender, const Json& itemList);

  private:
    explicit Project(std::filesystem::path dir) : dir_(std::move(dir)) {}

    void createLocked(const std::optional<SampleOptions>& sample);
    void createSampleLocked(const SampleOptions& sampleOptions);
    void reloadIfChangedLocked();
    int64_t publishLocked();
    Json currentListLocked();
    void saveProjectLocked();
    std::string createAvatarLocked(const Json& description, const std::string& png);

    std::filesystem::path dir_;
    std::mutex mutex_;
    Credentials credentials_;
    int64_t version_ = 0;
    Json defaultAvatars_ = Json::array();
    Json resources_ = Json::object();
    std::filesystem::file_time_type loadedStamp_{};
    // Served documents by "version base", built on first request.
    std::vector<std::pair<std::string, std::shared_ptr<const std::string>>> documentCache_;
};

int64_t nowMs();
std::string randomHex(size_t bytes);
/// A solid-colour RGBA PNG.
std::string pngImage(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b);
/// True for bytes that start like a PNG or JPEG picture.
bool looksLikePicture(std::string_view bytes);
/// Characters an id may hold when it names a directory: letters, digits, '-' and '_'.
bool isSafeId(std::string_view id);

}  // namespace velmora::emulator

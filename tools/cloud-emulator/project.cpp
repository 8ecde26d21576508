#include "tools/cloud-emulator/project.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <png.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

#include "engine/standin/bundle_format.h"
#include "json/json_intake.h"
#include "tools/cloud-emulator/digest.h"

namespace fs = std::filesystem;

namespace velmora::emulator {

namespace {

const std::vector<std::string> kSampleCategories = {"hair", "eyes", "brows",  "mouth",
                                                    "nose", "top",  "bottom", "shoes"};
constexpr size_t kStandardSampleItems = 32;
constexpr size_t kDocumentCacheSize = 8;

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(out).str();
}

Json readJson(const fs::path& path) {
    auto text = readFile(path);
    if (!text) return Json(Json::value_t::discarded);
    // The project's own files, but anyone can edit them: read as carefully as a request.
    jsonintake::Limits limits;
    limits.maxBytes = std::numeric_limits<size_t>::max();
    return jsonintake::parse(*text, limits).value;
}

// Written beside the target and renamed over it, so that a reader never sees half a file.
void writeFileAtomic(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    fs::path tmp = path;
    tmp += ".tmp-" + randomHex(6);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out.flush()) {
            std::error_code ec;
            fs::remove(tmp, ec);
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    fs::rename(tmp, path);
}

// Serialises the project's writers across processes (a `publish` command beside a server).
class DirectoryLock {
  public:
    explicit DirectoryLock(const fs::path& dir) {
        fd_ = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::runtime_error("cannot open " + (dir / ".lock").string());
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirectoryLock() { ::close(fd_); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

  private:
    int fd_ = -1;
};

std::vector<uint8_t> hexBytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    if (out.empty()) out.push_back(0);
    return out;
}

double round3(double v) {
    return std::round(v * 1000.0) / 1000.0;
}

std::vector<uint8_t> pseudoRandomBytes(size_t n, uint64_t seed) {
    std::vector<uint8_t> out(n);
    uint64_t x = seed | 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// Copies a file into the store under its own digest; answers the digest and size.
std::pair<std::string, uint64_t> storeCopy(const fs::path& storeDir, const fs::path& source) {
    fs::create_directories(storeDir);
    fs::path incoming = storeDir / (".incoming-" + randomHex(6));
    fs::copy_file(source, incoming);
    auto md5 = fileMd5Hex(incoming);
    if (!md5) {
        fs::remove(incoming);
        throw std::runtime_error("cannot read " + source.string());
    }
    uint64_t size = fs::file_size(incoming);
    fs::path target = storeDir / *md5;
    if (fs::exists(target)) {
        fs::remove(incoming);
    } else {
        fs::rename(incoming, target);
    }
    return {*md5, size};
}

}  // namespace

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string randomHex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1)
        throw std::runtime_error("no random bytes");
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : buf) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string pngImage(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = 255;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr))
        throw std::runtime_error("cannot encode PNG");
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr))
        throw std::runtime_error("cannot encode PNG");
    out.resize(size);
    return out;
}

bool looksLikePicture(std::string_view bytes) {
    static constexpr std::string_view png = "\x89PNG\r\n\x1a\n";
    return bytes.substr(0, png.size()) == png || bytes.substr(0, 3) == "\xff\xd8\xff";
}

bool isSafeId(std::string_view id) {
    if (id.empty() || id.size() > 128) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

std::unique_ptr<Project> Project::open(const fs::path& dir,
                                       const std::optional<SampleOptions>& sample) {
    fs::create_directories(dir);
    std::unique_ptr<Project> project(new Project(fs::absolute(dir)));
    std::lock_guard lock(project->mutex_);
    DirectoryLock dirLock(project->dir_);
    if (fs::exists(project->dir_ / "project.json")) {
        project->reloadIfChangedLocked();
        if (project->credentials_.apiKey.empty())
            throw std::runtime_error((project->dir_ / "project.json").string() +
                                     " holds no api_key");
    } else {
        project->createLocked(sample);
    }
    return project;
}

void Project::createLocked(const std::optional<SampleOptions>& sample) {
    for (const char* sub : {"items", "store", "versions", "avatars", "tasks"})
        fs::create_directories(dir_ / sub);
    credentials_ = {"vk_" + randomHex(8), randomHex(16), "va_" + randomHex(4)};
    version_ = 0;
    defaultAvatars_ = Json::array();
    resources_ = Json::object();
    writeFileAtomic(dir_ / "ui_config.json", Json::object().dump(2));
    saveProjectLocked();
    if (sample) createSampleLocked(*sample);
}

void Project::createSampleLocked(const SampleOptions& sampleOptions) {
    const size_t count = sampleOptions.items ? sampleOptions.items : kStandardSampleItems;
    const size_t perCategory = (count + kSampleCategories.size() - 1) / kSampleCategories.size();
    const int width = std::max<int>(2, static_cast<int>(std::to_string(perCategory).size()));

    auto writeItem = [&](const std::string& category, size_t number, uint64_t seed, int revision,
                         bool withIcon) {
        char stem[64];
        std::snprintf(stem, sizeof stem, "%s_%0*zu", category.c_str(), width, number);
        Json meta = {{"category", category}, {"name", stem}, {"revision", revision}};
        const size_t header = 12 + meta.dump().size();
        size_t payloadSize =
            sampleOptions.itemSize
                ? (sampleOptions.itemSize > header ? sampleOptions.itemSize - header : 0)
                : 1024 + (seed * 37) % 512;
        fs::path path = dir_ / "items" / category / (std::string(stem) + ".bundle");
        fs::create_directories(path.parent_path());
        auto payload = pseudoRandomBytes(payloadSize, seed * 0x9E3779B97F4A7C15ULL + revision);
        if (!standin::writeBundle(path.string(), meta, payload))
            throw std::runtime_error("cannot write " + path.string());
        if (withIcon) {
            auto c = pseudoRandomBytes(3, seed + 7);
            fs::path icon = path;
            icon.replace_extension(".png");
            writeFileAtomic(icon, pngImage(16, 16, c[0], c[1], c[2]));
        }
        return path;
    };

    std::vector<fs::path> paths;
    for (size_t i = 0; i < count; ++i) {
        const auto& category = kSampleCategories[i % kSampleCategories.size()];
        paths.push_back(writeItem(category, i / kSampleCategories.size() + 1, i + 1, 1, true));
    }
    publishLocked();

    // The second version changes every tenth item; the standard sample also drops one item and
    // brings a new category, so that an update shows every kind of change.
    for (size_t i = 0; i < count; i += 10) {
        const auto& category = kSampleCategories[i % kSampleCategories.size()];
        writeItem(category, i / kSampleCategories.size() + 1, i + 1, 2, false);
    }
    if (!sampleOptions.items) {
        fs::path dropped = paths.back();
        fs::remove(dropped);
        fs::remove(fs::path(dropped).replace_extension(".png"));
        for (size_t n = 1; n <= 2; ++n) writeItem("glasses", n, 1000 + n, 1, true);
    }
    publishLocked();

    Json list = currentListLocked();
    for (int k = 0; k < 3; ++k) {
        Json description = describeAvatar(hmacHex("sample-avatar", std::to_string(k)), k % 2, list);
        auto c = pseudoRandomBytes(3, 500 + k);
        defaultAvatars_.push_back(
            createAvatarLocked(description, pngImage(64, 64, c[0], c[1], c[2])));
    }

    Json tabs = Json::array();
    for (const auto& category : kSampleCategories) tabs.push_back({{"category", category}});
    tabs.push_back({{"category", "glasses"}});
    Json ui = {
        {"tabs", tabs},
        {"palettes",
         {{"hair", {{0.1, 0.07, 0.05, 1.0}, {0.55, 0.35, 0.2, 1.0}, {0.9, 0.8, 0.5, 1.0}}},
          {"skin", {{0.98, 0.86, 0.76, 1.0}, {0.8, 0.6, 0.45, 1.0}, {0.45, 0.3, 0.2, 1.0}}}}},
        {"editor", {{"show_deformations", true}, {"columns", 4}}}};
    writeFileAtomic(dir_ / "ui_config.json", ui.dump(2));
    saveProjectLocked();
}

void Project::saveProjectLocked() {
    Json doc = {{"api_key", credentials_.apiKey},
                {"api_secret", credentials_.apiSecret},
                {"appid", credentials_.appid},
                {"item_list_version", version_},
                {"default_avatars", defaultAvatars_}};
    writeFileAtomic(dir_ / "project.json", doc.dump(2));
    loadedStamp_ = fs::last_write_time(dir_ / "project.json");
}

void Project::reloadIfChangedLocked() {
    std::error_code ec;
    auto stamp = fs::last_write_time(dir_ / "project.json", ec);
    if (ec || stamp == loadedStamp_) return;
    Json doc = readJson(dir_ / "project.json");
    if (!doc.is_object()) return;  // a half-edited file: keep what was loaded
    credentials_.apiKey = doc.value("api_key", "");
    credentials_.apiSecret = doc.value("api_secret", "");
    credentials_.appid = doc.value("appid", "");
    version_ = doc.value("item_list_version", int64_t{0});
    defaultAvatars_ = doc.value("default_avatars", Json::array());
    Json resources = readJson(dir_ / "resources.json");
    resources_ = resources.is_object() ? resources : Json::object();
    documentCache_.clear();
    loadedStamp_ = stamp;
}

Credentials Project::credentials() {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    return credentials_;
}

int64_t Project::itemListVersion() {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    return version_;
}

int64_t Project::publish() {
    std::lock_guard lock(mutex_);
    DirectoryLock dirLock(dir_);
    reloadIfChangedLocked();
    return publishLocked();
}

int64_t Project::publishLocked() {
    const fs::path items = dir_ / "items";
    fs::create_directories(items);
    std::vector<fs::path> bundles;
    for (const auto& entry : fs::recursive_directory_iterator(items)) {
        if (entry.is_regular_file() && entry.path().extension() == ".bundle")
            bundles.push_back(entry.path());
    }
    std::sort(bundles.begin(), bundles.end());

    Json list = Json::array();
    for (const auto& path : bundles) {
        const std::string rel = fs::relative(path, items).generic_string();
        auto [md5, size] = storeCopy(dir_ / "store", path);
        Json meta =
            jsonintake::parse(standin::readBundleMeta((dir_ / "store" / md5).string())).value;
        std::string category =
            meta.is_object() && meta.contains("category") && meta["category"].is_string()
                ? meta["category"].get<std::string>()
                : rel.substr(0, rel.find('/'));
        std::string name = meta.is_object() && meta.contains("name") && meta["name"].is_string()
                               ? meta["name"].get<std::string>()
                               : path.stem().string();
        // A resource id names one content at one path: a changed file gets a new one.
        std::string resourceId = hmacHex("velmora-resource", rel + "\n" + md5).substr(0, 24);
        Json entry = {{"path", rel},  {"resource_id", resourceId},
                      {"name", name}, {"category", category},
                      {"md5", md5},   {"size", size}};
        fs::path icon = fs::path(path).replace_extension(".png");
        if (fs::is_regular_file(icon)) {
            auto [iconMd5, iconSize] = storeCopy(dir_ / "store", icon);
            entry["icon_url"] = "/files/store/" + iconMd5 + "/" + icon.filename().string();
        }
        resources_[resourceId] = {{"path", rel}, {"md5", md5}, {"size", size}};
        list.push_back(std::move(entry));
    }
    const int64_t version = version_ + 1;
    writeFileAtomic(dir_ / "versions" / (std::to_string(version) + ".json"),
                    Json({{"version", version}, {"list", list}}).dump(1));
    writeFileAtomic(dir_ / "resources.json", resources_.dump(1));
    version_ = version;
    saveProjectLocked();
    return version;
}

Json Project::currentListLocked() {
    if (version_ == 0) return Json::array();
    Json doc = readJson(dir_ / "versions" / (std::to_string(version_) + ".json"));
    if (!doc.is_object() || !doc.contains("list") || !doc["list"].is_array()) return Json::array();
    return doc["list"];
}

Json Project::projectConfig(const std::string& base) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    Json list = Json::array();
    if (version_ > 0) {
        Json avatars = Json::array();
        for (const auto& id : defaultAvatars_) avatars.push_back({{"avatar_id", id}});
        list.push_back({{"type", "ORVG"},
                        {"item_list_version", version_},
                        {"item_list_url", base + "/itemlist/" + std::to_string(version_) + ".json"},
                        {"avatar_list", avatars}});
    }
    return {{"list", list}};
}

Json Project::uiConfig() {
    Json doc = readJson(dir_ / "ui_config.json");
    return doc.is_discarded() ? Json::object() : doc;
}

std::optional<std::string> Project::itemListDocument(int64_t version, const std::string& base) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    if (version < 1 || version > version_) return std::nullopt;
    const std::string key = std::to_string(version) + " " + base;
    for (const auto& [k, text] : documentCache_) {
        if (k == key) return *text;
    }
    Json doc = readJson(dir_ / "versions" / (std::to_string(version) + ".json"));
    if (!doc.is_object()) return std::nullopt;
    if (doc.contains("list") && doc["list"].is_array()) {
        for (auto& entry : doc["list"]) {
            if (entry.contains("icon_url") && entry["icon_url"].is_string())
                entry["icon_url"] = base + entry["icon_url"].get<std::string>();
        }
    }
    auto text = std::make_shared<const std::string>(doc.dump());
    if (documentCache_.size() >= kDocumentCacheSize) documentCache_.erase(documentCache_.begin());
    documentCache_.emplace_back(key, text);
    return *text;
}

Json Project::resourceList(const std::vector<std::string>& ids, const std::string& base) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    Json out = Json::array();
    std::unordered_set<std::string> seen;
    for (const auto& id : ids) {
        if (!seen.insert(id).second) continue;
        auto it = resources_.find(id);
        if (it == resources_.end()) continue;
        const std::string path = it->value("path", "");
        const std::string md5 = it->value("md5", "");
        out.push_back(
            {{"resource_id", id},
             {"path", path},
             {"url", base + "/files/store/" + md5 + "/" + fs::path(path).filename().string()},
             {"md5", md5},
             {"size", it->value("size", uint64_t{0})}});
    }
    return out;
}

std::optional<fs::path> Project::storeFile(std::string_view md5) const {
    if (md5.size() != 32 || !std::all_of(md5.begin(), md5.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        }))
        return std::nullopt;
    fs::path path = dir_ / "store" / std::string(md5);
    if (!fs::is_regular_file(path)) return std::nullopt;
    return path;
}

std::optional<Json> Project::avatarAnswer(const std::string& id, const std::string& base) {
    if (!isSafeId(id)) return std::nullopt;
    Json description = readJson(dir_ / "avatars" / id / "avatar.json");
    if (description.is_discarded()) return std::nullopt;
    const std::string icon = base + "/files/avatars/" + id + "/avatar.png";
    return Json{
        {"avatar_id", id}, {"data", description}, {"icon_url", icon}, {"icon_full_url", icon}};
}

std::string Project::createAvatar(const Json& description, const std::string& png) {
    std::lock_guard lock(mutex_);
    return createAvatarLocked(description, png);
}

std::string Project::createAvatarLocked(const Json& description, const std::string& png) {
    const std::string id = randomHex(12);
    fs::path dir = dir_ / "avatars" / id;
    fs::create_directories(dir);
    writeFileAtomic(dir / "avatar.png", png);
    writeFileAtomic(dir / "avatar.json", description.dump(2));
    return id;
}

std::optional<fs::path> Project::avatarIcon(std::string_view id) const {
    if (!isSafeId(id)) return std::nullopt;
    fs::path path = dir_ / "avatars" / std::string(id) / "avatar.png";
    if (!fs::is_regular_file(path)) return std::nullopt;
    return path;
}

std::vector<std::string> Project::avatarIds() {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_ / "avatars", ec)) {
        if (entry.is_directory()) ids.push_back(entry.path().filename().string());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

namespace {

Json taskJson(const Task& task) {
    return {{"taskid", task.id},
            {"gender", task.gender},
            {"created_ms", task.createdMs},
            {"ready_ms", task.readyMs},
            {"photo_digest", task.photoDigest},
            {"result", task.result}};
}

std::optional<Task> taskFromJson(const Json& doc) {
    if (!doc.is_object()) return std::nullopt;
    Task task;
    task.id = doc.value("taskid", "");
    task.gender = doc.value("gender", int64_t{0});
    task.createdMs = doc.value("created_ms", int64_t{0});
    task.readyMs = doc.value("ready_ms", int64_t{0});
    task.photoDigest = doc.value("photo_digest", "");
    task.result = doc.value("result", Json::object());
    return task;
}

}  // namespace

Task Project::createTask(const std::string& photo, int64_t gender, int64_t now, int64_t readyMs) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    Task task;
    task.id = randomHex(12);
    task.gender = gender;
    task.createdMs = now;
    task.readyMs = readyMs;
    task.photoDigest = hmacHex("gender=" + std::to_string(gender), photo);
    task.result = describeAvatar(task.photoDigest, gender, currentListLocked());
    writeFileAtomic(dir_ / "tasks" / (task.id + ".json"), taskJson(task).dump(2));
    return task;
}

std::optional<Task> Project::task(const std::string& id) {
    if (!isSafeId(id)) return std::nullopt;
    return taskFromJson(readJson(dir_ / "tasks" / (id + ".json")));
}

std::vector<Task> Project::tasks() {
    std::vector<Task> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_ / "tasks", ec)) {
        if (entry.path().extension() != ".json") continue;
        if (auto task = taskFromJson(readJson(entry.path()))) out.push_back(std::move(*task));
    }
    std::sort(out.begin(), out.end(),
              [](const Task& a, const Task& b) { return a.createdMs < b.createdMs; });
    return out;
}

Json Project::describeAvatar(const std::string& seedHex, int64_t gender, const Json& itemList) {
    const auto seed = hexBytes(seedHex);
    auto byte = [&](size_t i) { return seed[i % seed.size()]; };

    std::map<std::string, std::vector<std::string>> byCategory;
    if (itemList.is_array()) {
        for (const auto& entry : itemList) {
            if (!entry.is_object() || !entry.contains("path") || !entry["path"].is_string())
                continue;
            byCategory[entry.value("category", "")].push_back(entry["path"].get<std::string>());
        }
    }
    Json bundles = Json::array();
    size_t k = 0;
    for (const auto& [category, paths] : byCategory) {
        size_t pick = (static_cast<size_t>(byte(k)) << 8 | byte(k + 1)) % paths.size();
        bundles.push_back(paths[pick]);
        k += 2;
    }
    auto colour = [&](size_t i) {
        return Json::array({round3(byte(i) / 255.0), round3(byte(i + 1) / 255.0),
                            round3(byte(i + 2) / 255.0), 1.0});
    };
    auto deformation = [&](size_t i) { return round3(byte(i) / 255.0 * 2.0 - 1.0); };
    return {{"gender", gender},
            {"bundle_list", bundles},
            {"colors", {{"skin", colour(3)}, {"hair", colour(7)}, {"eyes", colour(11)}}},
            {"deformations",
             {{"face_width", deformation(17)},
              {"eye_size", deformation(19)},
              {"nose_length", deformation(23)},
              {"mouth_width", deformation(29)}}}};
}

}  // namespace velmora::emulator

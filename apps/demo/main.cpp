// velmora-demo: a host application in miniature. It runs Velmora's main job end to end against a
// cloud: by default the project's own cloud emulator, started here on loopback.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "engine/ai_kit.h"
#include "engine/types.h"
#include "report.h"
#include "tools/cloud-emulator/launcher.h"
#include "velmora/velmora.h"

namespace fs = std::filesystem;
using velmora::Json;
using velmora::QelErrorPtr;

namespace demo {
namespace {

struct Options {
    std::string baseUrl;
    std::string key;
    std::string secret;
    std::string appid;
    std::string data;
    std::string emulator;
    std::string photo;
    std::string faceModel;
    std::string color = "#7A3B1F";
    double buildTimeLimit = 10.0;
    double stepTimeout = 60.0;
    bool json = false;
    bool verbose = false;
};

/// One answer from a callback that may come on any thread, or never: every wait is bounded.
template <class T>
class Await {
  public:
    void set(T value) {
        std::lock_guard lock(mutex_);
        if (!value_) value_ = std::move(value);
        cv_.notify_all();
    }
    std::optional<T> wait(double seconds) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                     [&] { return value_.has_value(); });
        return value_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

QelErrorPtr demoError(const std::string& message) {
    return velmora::QelError::make(velmora::kNSCocoaErrorDomain, velmora::QelErrorCodeFailure,
                                   message);
}

QelErrorPtr noAnswer(const Options& options) {
    return demoError("no answer within " + std::to_string(static_cast<int>(options.stepTimeout)) +
                     " s");
}

/// Starts a call whose completion gets (error, value) and waits at most `seconds` for it; no
/// answer in time is an error of its own.
template <class T, class Start>
std::pair<QelErrorPtr, T> callAndWait(const Options& options, double seconds, Start&& start) {
    auto done = std::make_shared<Await<std::pair<QelErrorPtr, T>>>();
    start([done](const QelErrorPtr& error, const T& value) { done->set({error, value}); });
    auto answer = done->wait(seconds);
    if (!answer) return {noAnswer(options), T{}};
    return *answer;
}

/// Everything the steps share.
struct Demo {
    Options options;
    Report report;
    std::string root;                   // the demo's data: download root, avatars, engine files
    std::string emulatorData;           // the emulator's project directory, when known
    velmora::QelAvatarModelPtr avatar;  // the avatar the demo loads
    std::string colorKey = "hair_color";
    std::string deformationKey = "face_width";
    double deformation = 0.3;
    int stepNumber = 0;

    Demo(Options o, std::FILE* out) : options(std::move(o)), report(options.json, out) {}
    ~Demo() { waitForFaceModel(); }
    Demo(const Demo&) = delete;
    Demo& operator=(const Demo&) = delete;

    /// Loading the face model takes seconds: it starts on a thread of its own when the demo
    /// starts, and the photo step waits for it.
    void startLoadingFaceModel() {
        faceModelLoader = std::thread([path = options.faceModel] {
            velmora::QelAIKit::loadAIModeWithAIType(velmora::QELAITYPE_FACEPROCESSOR, path);
        });
    }
    void waitForFaceModel() {
        if (faceModelLoader.joinable()) faceModelLoader.join();
    }
    std::thread faceModelLoader;

    std::string downloadRoot() const { return root + "/cloud"; }

    /// Runs one step; `body` fills the step and answers false on failure.
    bool step(const std::string& name, const std::function<bool(Report::Step&)>& body) {
        Report::Step s;
        s.number = ++stepNumber;
        s.name = name;
        const auto start = std::chrono::steady_clock::now();
        bool ok = false;
        try {
            ok = body(s);
        } catch (const std::exception& e) {
            s.error = demoError(std::string("unexpected: ") + e.what());
        }
        s.ms = elapsedMs(start);
        if (s.status != Report::Status::Skipped)
            s.status = ok ? Report::Status::Ok : Report::Status::Failed;
        const bool passed = s.status != Report::Status::Failed;
        report.add(std::move(s));
        return passed;
    }

    /// The configuration check: project configuration, default avatars, item list.
    QelErrorPtr configurationCheck() {
        auto done = std::make_shared<Await<QelErrorPtr>>();
        velmora::QelCloudService::sharedService()->getLatestCloudConfigWithVersion(
            "1.0", [done](const QelErrorPtr& error) { done->set(error); });
        auto error = done->wait(options.stepTimeout);
        return error ? *error : noAnswer(options);
    }

    /// File ids by state, from the state store.
    std::map<std::string, uint64_t> states() {
        std::map<std::string, uint64_t> out;
        Json info = velmora::QelCloudService::sharedService()->resourceInfoDic();
        if (!info.is_object()) return out;
        for (const auto& [fileId, entry] : info.items())
            if (entry.is_object() && entry.contains("fileState") &&
                entry["fileState"].is_number_integer())
                out[fileId] = entry["fileState"].get<uint64_t>();
        return out;
    }

    /// An admin request to the emulator; absent when the cloud has no admin API.
    std::optional<Json> admin(const std::string& method, const std::string& path) {
        auto done = std::make_shared<Await<std::pair<QelErrorPtr, Json>>>();
        auto http = velmora::QelNetworking::sharedInstance();
        auto success = [done](const Json& value) { done->set({nullptr, value}); };
        auto failure = [done](const QelErrorPtr& error) { done->set({error, Json()}); };
        std::string url = options.baseUrl + "/_emulator/" + path;
        if (method == "GET")
            http->getWithURL(url, std::nullopt, success, failure);
        else
            http->postWithURL(url, Json::object(), success, failure);
        auto answer = done->wait(options.stepTimeout);
        if (!answer || answer->first || !answer->second.is_object()) return std::nullopt;
        return answer->second;
    }
};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// ---- The steps ----

bool stepSetup(Demo& d, Report::Step& s) {
    fs::create_directories(d.root + "/engine");
    // The stand-in engine only checks that its three configuration files exist.
    for (const char* name : {"controller.json", "graph.json", "logic.json"})
        writeFile(d.root + "/engine/" + name, "{}\n");
    auto helper = velmora::QelAvatarHelper::shareHelper();
    helper->setControllerConfigPath(d.root + "/engine/controller.json");
    helper->setAnimationGraphPath(d.root + "/engine/graph.json");
    helper->setAnimationLogicPath(d.root + "/engine/logic.json");
    // The default set names catalogue items; it is written once the catalogue is known.
    helper->setDefaultJsonPath(d.root + "/engine/default.json");

    velmora::QelCloudServiceConfig config;
    config.setApiKey(d.options.key);
    config.setApiSecret(d.options.secret);
    config.setAppid(d.options.appid);
    config.setApiBasePath(d.options.baseUrl);
    auto cloud = velmora::QelCloudService::sharedService();
    cloud->setupWithConfig(config, d.downloadRoot());
    cloud->setIsDownloadDefaultAvatars(true);

    // The cloud's default avatars are the built-in ones; the user's own go to a root of theirs.
    velmora::QelResourceManageConfig storeConfig;
    storeConfig.setBuildInAvatarsPath(cloud->avatarRootPath());
    storeConfig.setCustomAvatarRootPath(d.root + "/avatars");
    auto loader = std::make_shared<velmora::QelResourceFactory>();
    loader->setDownloadRootPath(d.downloadRoot());
    velmora::QelResourceKit::sharedManager()->setupWithConfig(storeConfig, loader);

    s.summary = "engine files, cloud service, avatar store and download root " + d.downloadRoot();
    s.figures = {{"download_root", d.downloadRoot()}};
    return true;
}

bool stepSync(Demo& d, Report::Step& s) {
    s.error = d.configurationCheck();
    if (s.error) {
        const bool unreachable = velmora::QelCloudService::isCloudUnreachableError(s.error);
        s.summary = unreachable ? "the cloud at " + d.options.baseUrl + " cannot be reached"
                                : "the configuration check failed";
        return false;
    }
    auto cloud = velmora::QelCloudService::sharedService();
    auto states = d.states();
    size_t present = 0;
    for (const auto& [id, state] : states)
        if (state == velmora::QelFileStatePresent || state == velmora::QelFileStateDownloaded)
            ++present;
    size_t avatars = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(cloud->avatarRootPath(), ec))
        if (entry.is_directory()) ++avatars;
    auto project = cloud->projectJsonModel();
    std::string version = project ? project->itemListVersion() : "";

    // The engine's default set: the first catalogue item of two categories.
    Json defaults = Json::array();
    std::set<std::string> seen;
    for (const auto& [id, state] : states) {
        auto slash = id.find('/');
        std::string category = slash == std::string::npos ? "" : id.substr(0, slash);
        if ((category == "hair" || category == "top") && seen.insert(category).second)
            defaults.push_back({{"category", category}, {"file_id", id}});
    }
    writeFile(d.root + "/engine/default.json", Json{{"default_list", defaults}}.dump(2) + "\n");

    s.summary = "item list version " + version + ", " + std::to_string(states.size()) +
                " items in the catalogue (" + std::to_string(present) + " on disk), " +
                std::to_string(avatars) + " default avatars stored";
    s.figures = {{"item_list_version", version},
                 {"catalogue_items", states.size()},
                 {"items_on_disk", present},
                 {"default_avatars", avatars}};
    return true;
}

/// A text progress "i/N" drawn as a bar on a terminal and as plain lines elsewhere. The SDK keeps
/// the callback for as long as its work runs, which may be past the step that gave up waiting:
/// `detach` cuts it off from the report before the report can go.
class ProgressView {
  public:
    explicit ProgressView(const Report& report)
        : report_(&report), terminal_(!report.json() && isatty(fileno(report.out()))) {}
    void operator()(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (!report_) return;
        auto slash = text.find('/');
        if (slash == std::string::npos || report_->json()) return;
        long done = std::strtol(text.c_str(), nullptr, 10);
        long total = std::strtol(text.c_str() + slash + 1, nullptr, 10);
        if (total <= 0) return;
        if (!terminal_) {
            report_->note("download " + text);
            return;
        }
        const int width = 30;
        int filled = static_cast<int>(width * std::clamp(done, 0L, total) / total);
        std::fprintf(report_->out(), "\r    [%s%s] %s", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), text.c_str());
        if (done >= total) std::fprintf(report_->out(), "\n");
        std::fflush(report_->out());
    }
    /// No later progress reaches the report; waits for one being drawn.
    void detach() {
        std::lock_guard lock(mutex_);
        report_ = nullptr;
    }

  private:
    const Report* report_;
    bool terminal_;
    std::mutex mutex_;
};

bool verified(uint64_t state) {
    return state == velmora::QelFileStatePresent || state == velmora::QelFileStateDownloaded;
}

/// Loads the avatar's items into its engine avatar through the avatar store, which fetches what
/// is not on disk; answers the file ids that were verified only after the load.
QelErrorPtr loadThroughStore(Demo& d, const velmora::QelAvatarModelPtr& model,
                             std::vector<std::string>& fetched) {
    const auto before = d.states();
    auto done = std::make_shared<Await<QelErrorPtr>>();
    auto view = std::make_shared<ProgressView>(d.report);
    velmora::QelResourceKit::sharedManager()->loadAvatarBaseItemsWithAvatarModel(
        model, [view](const std::string& text) { (*view)(text); },
        [done](const QelErrorPtr& error) { done->set(error); });
    auto error = done->wait(d.options.stepTimeout);
    view->detach();
    if (!error) return noAnswer(d.options);
    // Items the catalogue does not know are a warning: the others are loaded all the same.
    if (*error && (*error)->code() != velmora::QelErrorCodeUnknownItems) return *error;
    for (const auto& [id, state] : d.states()) {
        auto old = before.find(id);
        if (verified(state) && (old == before.end() || !verified(old->second)))
            fetched.push_back(id);
    }
    return nullptr;
}

bool stepAvatar(Demo& d, Report::Step& s) {
    auto store = velmora::QelResourceKit::sharedManager();
    using List = std::optional<velmora::QelResourceKit::ModelList>;
    auto listed = std::make_shared<Await<List>>();
    store->getAvatarListWithCompletion([listed](const List& models) { listed->set(models); });
    auto models = listed->wait(d.options.stepTimeout);
    if (!models) {
        s.error = noAnswer(d.options);
        return false;
    }
    if (!*models || (*models)->empty()) {
        s.error = demoError("the avatar store lists no avatar");
        return false;
    }
    d.avatar = (*models)->front();
    const std::string name = fs::path(d.avatar->avatarPath()).filename();

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> fetched;
    s.error = loadThroughStore(d, d.avatar, fetched);
    if (s.error) return false;
    const auto& items = d.avatar->jsonFileIds();
    uint64_t bytes = 0;
    std::error_code ec;
    for (const auto& id : items) {
        auto size = fs::file_size(fs::path(d.downloadRoot()) / id, ec);
        if (!ec) bytes += size;
    }
    s.summary = std::to_string((*models)->size()) + " avatars; avatar " + name + ": " +
                std::to_string(items.size()) + " items (" + std::to_string(bytes) + " bytes), " +
                std::to_string(fetched.size()) +
                " files downloaded with the engine's defaults, in " +
                std::to_string(static_cast<long>(elapsedMs(start))) + " ms";
    s.figures = {{"avatars", (*models)->size()},
                 {"avatar", name},
                 {"items", items.size()},
                 {"downloaded", fetched.size()},
                 {"bytes", bytes}};
    return !items.empty();
}

/// A file's text, or none when it cannot be read; at most `limit` bytes are accepted.
std::optional<std::string> readText(const fs::path& path, uintmax_t limit = 16u << 20) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text(size, '\0');
    if (!in.read(text.data(), static_cast<std::streamsize>(size))) return std::nullopt;
    return text;
}

Json rgbaJson(const velmora::QelColor& c) {
    return Json::array({c.r, c.g, c.b, c.a});
}

bool stepEdit(Demo& d, Report::Step& s) {
    // A copy of the loaded avatar is edited and saved as a new avatar of the user's own, so the
    // cloud's default avatar stays as it came.
    d.avatar->iconImage();
    auto edited = d.avatar->clone();
    edited->setAvatarPath("");
    edited->setName("");
    edited->setAvatarId("");
    velmora::QelAvatarEditorKit editor(edited->avatar());
    if (!editor.avatar()) {
        s.error = demoError("the avatar has no engine avatar to edit");
        return false;
    }
    const velmora::QelCustomColor custom(velmora::QelCustomColor::colorWithHexStr(d.options.color));
    const auto platformColor = custom.color();
    const velmora::QelColor color{platformColor.red(), platformColor.green(), platformColor.blue(),
                                  platformColor.alpha()};
    editor.setColor(color, d.colorKey);
    editor.setDeformation(d.deformation, d.deformationKey);

    auto store = velmora::QelResourceKit::sharedManager();
    if (!store->saveAvatarModel(edited)) {
        s.error = demoError("the edited avatar could not be saved");
        return false;
    }
    const auto savedText = readText(fs::path(edited->avatarPath()) / "avatar.json");
    const Json saved = savedText ? Json::parse(*savedText, nullptr, false) : Json();
    if (!saved.is_object()) {
        s.error = demoError("the saved description is not a JSON object");
        return false;
    }

    auto cloud = velmora::QelCloudService::sharedService();
    const auto uploadStart = std::chrono::steady_clock::now();
    auto [uploadError, id] = callAndWait<std::optional<std::string>>(
        d.options, d.options.stepTimeout, [&](auto completion) {
            cloud->uploadAvatarInfoWithAvatarPath(edited->avatarPath(), completion);
        });
    if (uploadError || !id || id->empty()) {
        s.error = uploadError ? uploadError : demoError("the cloud answered no avatar id");
        s.summary = "the upload failed";
        return false;
    }
    const double uploadMs = elapsedMs(uploadStart);

    const auto fetchStart = std::chrono::steady_clock::now();
    auto [fetchError, info] = callAndWait<Json>(
        d.options, d.options.stepTimeout,
        [&](auto completion) { cloud->getAvatarInfoWithAvatarId(*id, completion); });
    if (fetchError) {
        s.error = fetchError;
        s.summary = "fetching avatar " + *id + " back failed";
        return false;
    }
    const double fetchMs = elapsedMs(fetchStart);
    const std::string fetchedText =
        info.is_object() ? info.value("json", std::string()) : std::string();
    const Json back = Json::parse(fetchedText, nullptr, false);
    const bool equal = back == saved;
    const Json savedColor = saved.value("colors", Json::object()).value(d.colorKey, Json());
    const bool colorSaved = savedColor == rgbaJson(color);
    const bool deformationSaved =
        saved.value("deformations", Json::object()).value(d.deformationKey, Json()) ==
        Json(d.deformation);

    s.summary = "colour " + d.options.color + " as " + d.colorKey + " and " + d.deformationKey +
                " " + Json(d.deformation).dump() + "; saved as " + edited->name() + " (" +
                std::to_string(savedText->size()) + " bytes), uploaded as avatar " + *id + " in " +
                std::to_string(static_cast<long>(uploadMs)) + " ms, fetched back in " +
                std::to_string(static_cast<long>(fetchMs)) +
                " ms: " + (equal ? "the same description" : "a different description");
    s.figures = {{"color_hex", d.options.color},
                 {"color_rgba", rgbaJson(color)},
                 {"color_saved", colorSaved},
                 {"deformation", {{d.deformationKey, d.deformation}}},
                 {"deformation_saved", deformationSaved},
                 {"saved_avatar", edited->name()},
                 {"saved_bytes", savedText->size()},
                 {"avatar_id", *id},
                 {"upload_ms", uploadMs},
                 {"fetched_bytes", fetchedText.size()},
                 {"fetch_ms", fetchMs},
                 {"description_equal", equal}};
    if (!colorSaved || !deformationSaved)
        s.error = demoError("the saved description lacks the edit");
    if (!equal) s.error = demoError("the avatar fetched back differs from the one saved");
    return equal && colorSaved && deformationSaved;
}

/// The photo's pixels as a camera frame, sharing the image's memory.
velmora::QelPixelBufferPtr frameOf(const velmora::QelImagePtr& image) {
    const auto w = static_cast<size_t>(image->pixelWidth());
    const auto h = static_cast<size_t>(image->pixelHeight());
    return std::make_shared<velmora::QelPixelBuffer>(
        w, h, velmora::QelPixelFormat32RGBA,
        std::vector<velmora::QelPixelPlane>{{image->pixels().data(), w * 4, w, h}}, image);
}

bool stepPhoto(Demo& d, Report::Step& s) {
    const auto bytes = readText(d.options.photo);
    auto image =
        bytes ? velmora::QelImage::imageWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()))
              : nullptr;
    image = velmora::QelImage::fixOrientation(image);
    if (!image || image->empty()) {
        s.error = demoError("cannot read a PNG or JPEG photo at " + d.options.photo);
        return false;
    }
    velmora::QelBuilderConfig config;
    config.setBuildAvatarTimeOut(static_cast<float>(d.options.buildTimeLimit));
    config.setFaceProcessBundlePath(d.options.faceModel);
    auto builder = velmora::QelBuilderKit::setupWithConfig(config);

    // The model has been loading since the demo started; the check needs it now.
    d.waitForFaceModel();
    // The engine looks at the photo's pixels: one face, centred, frontal, neutral, then the
    // picture's sharpness and light, the face's size and open eyes.
    const std::pair<const char*, velmora::QelTrackFaceFilterPtr> named[] = {
        {"single", std::make_shared<velmora::QelFaceTracSingleFaceFilter>()},
        {"centre", std::make_shared<velmora::QelFaceTracRectFilter>()},
        {"rotation", std::make_shared<velmora::QelFaceTrackRotationFilter>()},
        {"expression", std::make_shared<velmora::QelFaceTraceExpressionFilter>()},
        {"sharpness", std::make_shared<velmora::QelFaceTrackSharpnessFilter>()},
        {"exposure", std::make_shared<velmora::QelFaceTrackExposureFilter>()},
        {"size", std::make_shared<velmora::QelFaceTrackSizeFilter>()},
        {"eyes", std::make_shared<velmora::QelFaceTrackEyesOpenFilter>()}};
    velmora::QelBuilderKit::FilterList filters;
    for (const auto& [name, filter] : named) filters.push_back(filter);
    const auto frame = frameOf(image);
    const auto verdict = builder->traceFaceWithPiexelBuffer(frame, 0, filters);
    // Each filter's own verdict on the same face data: the check stops at the first failure.
    Json verdicts = Json::object();
    std::string each;
    for (const auto& [name, filter] : named) {
        velmora::QelFaceTrackResultModel record;
        record.setSize(verdict->size());
        record.setFrame(frame);
        const bool passed = filter->verifyFaceInfo(record);
        verdicts[name] = {{"code", record.code()}, {"message", record.message()}};
        each += std::string(each.empty() ? "" : ", ") + name + " " +
                (passed ? std::string("ok") : std::to_string(record.code()));
    }
    const std::string photoName = fs::path(d.options.photo).filename().string();
    s.figures = {{"photo", photoName},
                 {"photo_bytes", bytes->size()},
                 {"photo_size", {image->pixelWidth(), image->pixelHeight()}},
                 {"face_compliant", verdict->isCompliant()},
                 {"face_code", verdict->code()},
                 {"face_message", verdict->message()},
                 {"filters", verdicts}};
    const std::string face = "face check " + std::to_string(verdict->code()) + " \"" +
                             verdict->message() + "\" (" + each + ")";
    if (!verdict->isCompliant()) {
        s.summary = photoName + ": " + face;
        s.error = velmora::QelError::make(velmora::kNSCocoaErrorDomain, verdict->code(),
                                          verdict->message());
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    // The builder keeps its own limit; this wait only guards against no answer at all.
    auto [buildError, result] = callAndWait<std::optional<std::string>>(
        d.options, d.options.buildTimeLimit + d.options.stepTimeout,
        [&](auto completion) { builder->buildAvatarWithImage(image, 1, completion); });
    const double buildMs = elapsedMs(start);
    s.figures["build_ms"] = buildMs;
    s.figures["build_time_limit_s"] = d.options.buildTimeLimit;
    if (buildError || !result) {
        s.error = buildError ? buildError : demoError("the build answered no description");
        s.summary = photoName + ": " + face + "; the build failed";
        return false;
    }
    const Json description = Json::parse(*result, nullptr, false);
    const Json bundles =
        description.is_object() ? description.value("bundle_list", Json()) : Json();
    if (!bundles.is_array() || bundles.empty()) {
        s.error = demoError("the built avatar lists no items");
        return false;
    }
    auto model = std::make_shared<velmora::QelAvatarModel>(*result);
    if (!velmora::QelResourceKit::sharedManager()->saveAvatarModel(model)) {
        s.error = demoError("the built avatar could not be saved");
        return false;
    }
    s.summary = photoName + ": " + face + "; built an avatar of " + std::to_string(bundles.size()) +
                " items in " + std::to_string(static_cast<long>(buildMs)) + " ms (limit " +
                Json(d.options.buildTimeLimit).dump() + " s), saved as " + model->name();
    s.figures["built_items"] = bundles.size();
    s.figures["built_avatar"] = model->name();
    return true;
}

bool stepResync(Demo& d, Report::Step& s) {
    if (d.emulatorData.empty()) {
        s.status = Report::Status::Skipped;
        s.summary = d.admin("GET", "state")
                        ? "an emulator started elsewhere: its items cannot be changed from here"
                        : "the cloud has no emulator admin API";
        return true;
    }
    std::vector<std::string> onDisk;
    for (const auto& [id, state] : d.states())
        if (verified(state)) onDisk.push_back(id);
    // Change a few items that are on disk: a bundle's payload is not interpreted, so a few more
    // bytes keep it usable and give it a new digest.
    const size_t changeCount = std::min<size_t>(3, onDisk.size());
    std::set<std::string> changed;
    for (size_t i = 0; i < changeCount; ++i) {
        const std::string& id = onDisk[(i * onDisk.size()) / changeCount];
        std::ofstream out(fs::path(d.emulatorData) / "items" / id,
                          std::ios::binary | std::ios::app);
        out << "changed by the demo\n";
        if (!out.flush()) {
            s.error = demoError("cannot change the emulator's item " + id);
            return false;
        }
        changed.insert(id);
    }
    auto published = d.admin("POST", "publish");
    if (!published) {
        s.error = demoError("the emulator did not publish a new version");
        return false;
    }
    s.error = d.configurationCheck();
    if (s.error) {
        s.summary = "the configuration check failed";
        return false;
    }
    auto after = d.states();
    std::vector<std::string> stale;
    for (const auto& id : onDisk) {
        auto it = after.find(id);
        if (it != after.end() && it->second == velmora::QelFileStateNeedsDownload)
            stale.push_back(id);
    }
    // The engine avatar is made again, so the store loads its items once more: only what the
    // new catalogue changed is fetched.
    d.avatar->destroyAvatar();
    std::vector<std::string> fetched;
    s.error = loadThroughStore(d, d.avatar, fetched);
    if (s.error) return false;
    const size_t kept = onDisk.size() - stale.size();
    std::string version =
        (*published).value("data", Json::object()).value("item_list_version", Json()).dump();
    s.summary = "published version " + version + " with " + std::to_string(changed.size()) +
                " changed items; " + std::to_string(fetched.size()) + " downloaded again, " +
                std::to_string(kept) + " kept";
    s.figures = {{"changed_items", changed.size()},
                 {"downloaded_again", fetched.size()},
                 {"kept", kept},
                 {"changed_downloaded_exactly",
                  std::set<std::string>(fetched.begin(), fetched.end()) == changed}};
    return std::set<std::string>(fetched.begin(), fetched.end()) == changed;
}

bool stepTeardown(Demo& d, Report::Step& s) {
    d.avatar.reset();
    velmora::Velmora::destroy();
    s.summary =
        "Velmora " + velmora::Velmora::version() + " torn down: every shared instance dropped";
    return true;
}

// ---- Process plumbing ----

/// A temporary directory of the demo's own, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "velmora-demo-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
        path_ = pattern;
    }
    ~TempDir() { remove(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    void remove() const {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }

  private:
    std::string path_;
};

/// The signals that stop the demo, and the one its own end sends the signal thread.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

/// Blocks the stop signals in the calling thread, and so in every thread it starts later: one
/// that comes before a `SignalGuard` waits for it instead of ending the demo without clean-up.
void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

/// Ctrl-C and SIGTERM run `onSignal` (stop the emulator, remove the temporary data) and end the
/// demo. Declare it after what `onSignal` touches: it is destroyed first, so no signal can run
/// the clean-up on objects already gone.
class SignalGuard {
  public:
    SignalGuard(std::function<void()> onSignal, std::FILE* err)
        : onSignal_(std::move(onSignal)), err_(err) {
        // Everything the thread reads is set before it starts.
        waiter_ = std::thread([this] {
            const sigset_t set = stopSignals();
            int sig = 0;
            sigwait(&set, &sig);
            if (sig == SIGUSR1) return;  // normal end
            onSignal_();
            std::fprintf(err_, "velmora-demo: stopped by signal %d\n", sig);
            std::fflush(err_);
            _exit(128 + sig);
        });
    }
    ~SignalGuard() {
        pthread_kill(waiter_.native_handle(), SIGUSR1);
        waiter_.join();
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

  private:
    std::function<void()> onSignal_;
    std::FILE* err_;
    std::thread waiter_;
};

int runSteps(Options options, std::FILE* out, std::FILE* err);

/// The sample photo and face model: installed beside the program, else the source tree's.
std::string sampleDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = self.parent_path() / VELMORA_DEMO_INSTALLED_SAMPLE_DIR;
        if (fs::is_directory(installed, ec)) return installed.lexically_normal().string();
    }
    return VELMORA_DEMO_SAMPLE_DIR;
}

/// The default photo: a real portrait, installed beside the sample files, else the source tree's.
std::string samplePhoto(const std::string& sample) {
    std::error_code ec;
    const fs::path installed = fs::path(sample) / "grace_hopper.jpg";
    return fs::is_regular_file(installed, ec) ? installed.string() : VELMORA_DEMO_PHOTO;
}

int run(Options options) {
    blockStopSignals();
    // The report goes to the original standard output; the SDK's own log lines go to standard
    // error with --verbose and nowhere otherwise, so that --json output stays one document.
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    std::FILE* err = fdopen(dup(STDERR_FILENO), "w");
    if (!out || !err) throw std::runtime_error("cannot duplicate the standard streams");
    std::fflush(stdout);
    int sink = options.verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    dup2(sink, STDOUT_FILENO);
    if (!options.verbose) dup2(sink, STDERR_FILENO);
    close(sink);
    try {
        return runSteps(std::move(options), out, err);
    } catch (const std::exception& e) {
        std::fprintf(err, "velmora-demo: %s\n", e.what());
        return 2;
    }
}

int runSteps(Options options, std::FILE* out, std::FILE* err) {
    const TempDir tempDir;
    velmora::emulator::EmulatorProcess emulator;
    std::mutex cleanupMutex;
    auto cleanup = [&] {
        std::lock_guard lock(cleanupMutex);
        emulator.stop();
        tempDir.remove();
    };
    const SignalGuard signals(cleanup, err);
    bool keepData = !options.data.empty();

    const bool startEmulator = options.baseUrl.empty();
    Demo d(options, out);
    if (startEmulator) {
        std::string error;
        const std::string& binary = options.emulator;
        const std::string data = tempDir.path() + "/emulator";
        bool started = false;
        {
            // A signal's clean-up stops the emulator only once it is started (or not).
            std::lock_guard lock(cleanupMutex);
            started = emulator.start({binary, "--host", "127.0.0.1", "--port", "0", "--data", data,
                                      "--stop-on-stdin-eof", "--sample"},
                                     "/dev/null", std::chrono::seconds(30), error);
            d.options.baseUrl = emulator.baseUrl();
            d.options.key = emulator.apiKey();
            d.options.secret = emulator.apiSecret();
            d.options.appid = emulator.appid();
        }
        if (!started) {
            std::fprintf(err, "velmora-demo: %s\n", error.c_str());
            cleanup();
            return 2;
        }
        d.emulatorData = data;
    }
    d.startLoadingFaceModel();
    d.root = keepData ? fs::absolute(options.data).string() : tempDir.path() + "/app";
    fs::create_directories(d.root);
    d.report.setCloud(d.options.baseUrl, startEmulator);

    // A step that fails leaves the later ones without their ground: stop there.
    bool ok = d.step("setup", [&](auto& s) { return stepSetup(d, s); }) &&
              d.step("sync", [&](auto& s) { return stepSync(d, s); }) &&
              d.step("avatar", [&](auto& s) { return stepAvatar(d, s); }) &&
              d.step("edit", [&](auto& s) { return stepEdit(d, s); }) &&
              d.step("photo", [&](auto& s) { return stepPhoto(d, s); }) &&
              d.step("resync", [&](auto& s) { return stepResync(d, s); });
    d.step("teardown", [&](auto& s) { return stepTeardown(d, s); });
    d.report.finish();
    cleanup();
    return ok && d.report.ok() ? 0 : 1;
}

}  // namespace
}  // namespace demo

int main(int argc, char** argv) {
    demo::Options options;
    const std::string sample = demo::sampleDir();
    options.photo = demo::samplePhoto(sample);
    options.faceModel = sample + "/face_processor.bundle";
    options.emulator = velmora::emulator::findEmulatorBinary(VELMORA_DEMO_EMULATOR);
    CLI::App app{
        "velmora-demo: Velmora's main job end to end. Without --base-url it starts the project's\n"
        "cloud emulator on 127.0.0.1 with the sample project and stops it at the end."};
    app.add_option(
        "--base-url", options.baseUrl,
        "API base path of another cloud (its credentials with --key, --secret, --appid)");
    app.add_option("--key", options.key, "API key of the cloud given with --base-url");
    app.add_option("--secret", options.secret, "API secret of the cloud given with --base-url");
    app.add_option("--appid", options.appid, "application id of the cloud given with --base-url");
    app.add_option("--data", options.data,
                   "keep the demo's download root and avatars in this directory between runs "
                   "(default: a temporary one, removed at the end)");
    app.add_option("--emulator", options.emulator, "the cloud emulator binary to start")
        ->capture_default_str();
    app.add_option("--color", options.color,
                   "the hair colour the edit step gives the avatar, as hex text")
        ->capture_default_str();
    app.add_option("--photo", options.photo,
                   "the photograph (PNG or JPEG) to check for a face and build an avatar from")
        ->capture_default_str();
    app.add_option("--face-model", options.faceModel,
                   "the engine's face-processor model: a bundle naming the landmark model, or the "
                   "model file itself")
        ->capture_default_str();
    app.add_option("--build-time-limit", options.buildTimeLimit,
                   "seconds the avatar build may take")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--step-timeout", options.stepTimeout,
                   "seconds to wait for any one answer before the step fails")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_flag("--json", options.json, "print one machine-readable report instead of lines");
    app.add_flag("--verbose", options.verbose, "show the SDK's own log lines on standard error");
    CLI11_PARSE(app, argc, argv);
    if (!options.baseUrl.empty() &&
        (options.key.empty() || options.secret.empty() || options.appid.empty())) {
        std::fprintf(stderr, "velmora-demo: --base-url needs --key, --secret and --appid\n");
        return 2;
    }
    try {
        return demo::run(std::move(options));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora-demo: %s\n", e.what());
        return 2;
    }
}

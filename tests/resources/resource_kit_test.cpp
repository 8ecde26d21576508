// The avatar store end to end: the cloud emulator over loopback and the stand-in engine.
#include "velmora/resource_kit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/paths.h"
#include "tests/cloud/cloud_test_support.h"
#include "tests/resources/resources_fixture.h"
#include "tests/support/log_capture.h"
#include "velmora/transfer_options.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using velmora::testing::SystemLogCapture;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

using ListProbe = CallbackProbe<std::optional<QelResourceKit::ModelList>>;

std::vector<std::string> namesOf(const QelResourceKit::ModelList& models) {
    std::vector<std::string> names;
    for (const auto& model : models) names.push_back(model->name());
    return names;
}

// "yyyyMMddHHmmssSSS" in local time.
std::string stampOf(int64_t millis) {
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const size_t n = std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    std::snprintf(text + n, sizeof text - n, "%03d", static_cast<int>(millis % 1000));
    return text;
}

std::string errorLine(const std::string& message) {
    return "💥 Velmora Error: " + message + "\n";
}

class ResourceKitTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        ASSERT_GE(items.size(), 8u);
        QelResourceKit::destroy();
        kit = QelResourceKit::sharedManager();
        loader = std::make_shared<QelResourceFactory>();
        loader->setDownloadRootPath(root.path());
        storeConfig.setCustomAvatarRootPath(custom.path());
        storeConfig.setBuildInAvatarsPath(builtin.path());
        kit->setupWithConfig(storeConfig, loader);
        emulator().clearRequests();  // the item list fetched above
    }
    void TearDown() override {
        kit.reset();
        QelResourceKit::destroy();
        CloudServiceTest::TearDown();
    }

    /// The first item of a category.
    size_t itemOf(const std::string& category) const {
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i]["category"] == category) return i;
        throw std::runtime_error("no item of category " + category);
    }
    std::string fileId(size_t i) const { return items[i]["path"].get<std::string>(); }
    std::string resourceId(size_t i) const { return items[i]["resource_id"].get<std::string>(); }
    /// Item i's file on disk as a bundle of its category, recorded as present.
    void putOnDisk(size_t i) {
        writeBundleFile(root.path() + "/" + fileId(i), items[i]["category"].get<std::string>(),
                        "local" + std::to_string(i));
        service->updateResourceStateWithFileIds({fileId(i)}, QelFileStatePresent);
    }
    QelResourceKit::ModelList list() {
        ListProbe probe;
        kit->getAvatarListWithCompletion(probe.completion());
        auto models = probe.wait();
        EXPECT_TRUE(models.has_value());
        return models.value_or(QelResourceKit::ModelList{});
    }
    QelErrorPtr load(const QelAvatarModelPtr& model) {
        ErrorProbe probe;
        kit->loadAvatarBaseItemsWithAvatarModel(model, probe.progress(), probe.completion());
        return probe.wait();
    }
    std::vector<std::string> componentIds(const QelAvatarModelPtr& model) {
        std::vector<std::string> ids;
        for (const auto& c : standin::components(*model->avatar())) ids.push_back(c.fileId);
        return ids;
    }
    Json requestedResourceIds() const {
        Json all = Json::array();
        for (const auto& record : emulator().requests("items/v3/resource/list")) {
            const Json body = Json::parse(CloudEmulator::recordedBody(record), nullptr, false);
            if (body.is_object()) all.push_back(body["resourceids"]);
        }
        return all;
    }

    EngineFiles engine;
    TempDir builtin, custom;
    Json items;
    QelResourceManageConfig storeConfig;
    std::shared_ptr<QelResourceKit> kit;
    std::shared_ptr<QelResourceFactory> loader;
};

// ---- Listing ----

TEST_F(ResourceKitTest, ListsBothRootsInNameOrderAvatarDirectoriesOnly) {
    for (const char* name : {"b", "A", "c"}) makeAvatarDir(builtin.path(), name, {{"gender", 1}});
    fs::create_directories(builtin / "no-description");
    velmora::testing::writeFile(builtin / "plain-file", "x");
    velmora::testing::writeFile(builtin / "avatar.json", "{}");
    makeAvatarDir(custom.path(), "mine", {{"gender", 0}});

    EXPECT_EQ(kit->avatarModels(), std::nullopt) << "none before the first listing";
    SystemLogCapture log;
    ListProbe probe;
    kit->getAvatarListWithCompletion(probe.completion());
    const auto models = probe.wait();
    ASSERT_TRUE(models);
    EXPECT_NE(probe.thread(), std::this_thread::get_id());
    EXPECT_FALSE(probe.onMainQueue());
    EXPECT_THAT(namesOf(*models), ElementsAre("A", "b", "c", "mine"));
    EXPECT_EQ((*models)[0]->avatarPath(), builtin / "A");
    EXPECT_EQ((*models)[3]->avatarPath(), custom / "mine");
    EXPECT_THAT(namesOf(*kit->buildinAvatars()), ElementsAre("A", "b", "c"));
    EXPECT_THAT(namesOf(*kit->customAvatars()), ElementsAre("mine"));
    EXPECT_TRUE(kit->isBuildinAvatar((*models)[1]));
    EXPECT_FALSE(kit->isBuildinAvatar((*models)[3]));
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Time profile used time : ") &&
               line.ends_with("ms for getAvatarListWithCompletion");
    }));

    // Each listing makes new models: the old ones are no longer built-in.
    const auto again = list();
    EXPECT_NE(again[0], (*models)[0]);
    EXPECT_FALSE(kit->isBuildinAvatar((*models)[0]));
}

TEST_F(ResourceKitTest, MissingRootsListNothingAndNoConfigurationNoList) {
    QelResourceManageConfig missing;
    missing.setBuildInAvatarsPath(builtin / "absent");
    missing.setCustomAvatarRootPath(custom / "absent");
    kit->setupWithConfig(missing, loader);
    EXPECT_THAT(list(), IsEmpty());

    QelResourceKit::destroy();
    auto fresh = QelResourceKit::sharedManager();
    ASSERT_NE(fresh, kit);
    ListProbe probe;
    ::testing::internal::CaptureStdout();
    fresh->getAvatarListWithCompletion(probe.completion());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              errorLine("QelResource 加载形象数据前需要先设置配置信息！！！"));
    ASSERT_TRUE(probe.done()) << "reported on the calling thread";
    EXPECT_EQ(probe.wait(), std::nullopt);
    fresh->getAvatarListWithCompletion(nullptr);  // an absent completion is fine
}

// Readers on another thread see a whole list, old or new, while listings replace them, and the
// completion may call back into the store.
TEST_F(ResourceKitTest, ListingWhileAnotherThreadReads) {
    for (int i = 0; i < 12; ++i)
        makeAvatarDir(i % 2 ? builtin.path() : custom.path(), "av" + std::to_string(i),
                      {{"gender", i % 2}});
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            auto all = kit->avatarModels();
            if (all) {
                EXPECT_EQ(all->size(), 12u);
                for (const auto& model : *all) EXPECT_TRUE(model);
            }
            auto builtinList = kit->buildinAvatars();
            if (builtinList) {
                EXPECT_EQ(builtinList->size(), 6u);
            }
            ++reads;
        }
    });
    for (int round = 0; round < 15; ++round) {
        ListProbe probe;
        kit->getAvatarListWithCompletion([&](const std::optional<QelResourceKit::ModelList>& m) {
            // Back into the store from its own completion.
            EXPECT_TRUE(m && kit->isBuildinAvatar(m->front()));
            EXPECT_EQ(kit->customAvatars().value_or(QelResourceKit::ModelList{}).size(), 6u);
            probe.completion()(m);
        });
        EXPECT_EQ(probe.wait()->size(), 12u);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reads.load() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_GE(reads.load(), 3);
}

// ---- Loading an avatar's items ----

TEST_F(ResourceKitTest, LoadsItemsFromDiskFetchedAndUnknownThenNeverAgain) {
    const size_t hair = itemOf("hair"), top = itemOf("top"), eyes = itemOf("eyes");
    putOnDisk(hair);
    const Json description = {
        {"gender", 1},
        {"bundle_list", {fileId(hair), fileId(top), "gone/old.bundle", fileId(eyes)}}};
    auto model =
        std::make_shared<QelAvatarModel>("Ann", makeAvatarDir(custom.path(), "Ann", description));

    ErrorProbe probe;
    kit->loadAvatarBaseItemsWithAvatarModel(model, probe.progress(), probe.completion());
    const QelErrorPtr error = probe.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 888888);
    EXPECT_EQ(error->localizedDescription(), "gone/old.bundle 在 item_list 中不存在");
    EXPECT_TRUE(probe.onMainQueue()) << "after a download, where the download reports";
    EXPECT_THAT(probe.texts(), ElementsAre("0/2", "1/2", "2/2"));
    EXPECT_TRUE(model->addedBaseComponents());
    EXPECT_THAT(componentIds(model), ElementsAre(fileId(hair), fileId(top), fileId(eyes)));
    EXPECT_EQ(requestedResourceIds().back(), (Json{resourceId(top), resourceId(eyes)}));

    const size_t requestsBefore = emulator().requests().size();
    ErrorProbe again;
    kit->loadAvatarBaseItemsWithAvatarModel(model, again.progress(), again.completion());
    ASSERT_TRUE(again.done());
    EXPECT_EQ(again.wait(), nullptr);
    EXPECT_EQ(emulator().requests().size(), requestsBefore) << "no request for loaded items";

    // A new engine avatar starts without items: the next load adds them again, from disk.
    model->destroyAvatar();
    ErrorProbe reload;
    kit->loadAvatarBaseItemsWithAvatarModel(model, nullptr, reload.completion());
    ASSERT_TRUE(reload.done()) << "every known file is on disk now";
    EXPECT_EQ(reload.wait()->code(), 888888);
    EXPECT_THAT(componentIds(model), ElementsAre(fileId(hair), fileId(top), fileId(eyes)));
    EXPECT_EQ(emulator().requests().size(), requestsBefore);
}

TEST_F(ResourceKitTest, EngineDefaultsAreFetchedByASecondRequest) {
    const size_t hair = itemOf("hair"), top = itemOf("top"), shoes = itemOf("shoes");
    size_t otherHair = hair + 1;
    while (items[otherHair]["category"] != "hair") ++otherHair;
    putOnDisk(hair);
    putOnDisk(top);
    engine.setDefaults({{{"category", "hair"}, {"file_id", fileId(otherHair)}},
                        {{"category", "shoes"}, {"file_id", fileId(shoes)}}});
    auto model =
        std::make_shared<QelAvatarModel>(Json{{"bundle_list", {fileId(top), fileId(hair)}}}.dump());

    EXPECT_EQ(load(model), nullptr);
    EXPECT_THAT(componentIds(model), ElementsAre(fileId(top), fileId(hair), fileId(shoes)));
    // One request, for the default only: the covered hair default is not fetched.
    EXPECT_EQ(requestedResourceIds().back(), (Json{resourceId(shoes)}));
    EXPECT_TRUE(fs::exists(root.path() + "/" + fileId(shoes)));
    EXPECT_FALSE(fs::exists(root.path() + "/" + fileId(otherHair)));
}

// Regular files in the directory of item i: the file itself, its meta file, or a transfer's
// leftover.
size_t filesBeside(const std::string& path) {
    size_t count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path(), ec))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

// A loader written before the options: it still compiles and works, and the store still ends a
// cancelled load, once its request is over.
class OldLoader : public QelResourceFactoryProtocol {
  public:
    explicit OldLoader(std::shared_ptr<QelResourceFactory> inner) : inner_(std::move(inner)) {}
    void getSourceRemoteWithSourceIds(const std::vector<std::string>& sourceIds,
                                      ProgressBlock progress, Completion completion) override {
        inner_->getSourceRemoteWithSourceIds(sourceIds, std::move(progress), std::move(completion));
    }

  private:
    std::shared_ptr<QelResourceFactory> inner_;
};

// A load cancelled while the cloud holds its files ends once with -999: nothing added to the
// avatar, no file or leftover for the held items, none left marked as downloading. With the
// SDK's loader the completion comes at the cancel; with a loader that ignores the token, when its
// request ends. The same model loads normally afterwards.
TEST_F(ResourceKitTest, CancelledLoadEndsOnceWithNothingAddedOrHalfDone) {
    const size_t hair = itemOf("hair"), top = itemOf("top"), eyes = itemOf("eyes");
    putOnDisk(hair);
    for (const bool sdkLoader : {true, false}) {
        SCOPED_TRACE(sdkLoader ? "the SDK's loader" : "a loader without options");
        kit->setResourceLoader(sdkLoader
                                   ? std::static_pointer_cast<QelResourceFactoryProtocol>(loader)
                                   : std::make_shared<OldLoader>(loader));
        for (size_t i : {top, eyes}) {
            fs::remove_all(fs::path(root.path() + "/" + fileId(i)).parent_path());
            service->updateResourceStateWithFileIds({fileId(i)}, QelFileStateNeedsDownload);
        }
        emulator().reset();
        emulator().addFault({{"path", ".bundle"}, {"hold", true}});
        auto model = std::make_shared<QelAvatarModel>(
            Json{{"bundle_list", {fileId(hair), fileId(top), fileId(eyes)}}}.dump());
        const auto token = QelCancellationToken::create();
        QelTransferOptions options;
        options.setCancellationToken(token);
        std::atomic<int64_t> bytesReported{-1};
        options.setByteProgress([&](int64_t done, int64_t, double) { bytesReported = done; });

        ErrorProbe probe;
        kit->loadAvatarBaseItemsWithAvatarModel(model, probe.progress(), probe.completion(),
                                                options);
        awaitRequests(".bundle", 2);
        token->cancel();
        if (!sdkLoader) {
            EXPECT_FALSE(probe.done());
            emulator().clearFaults();
        }
        const QelErrorPtr error = probe.wait();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(error->code(), -999);
        EXPECT_FALSE(model->addedBaseComponents());
        EXPECT_THAT(componentIds(model), IsEmpty());
        if (sdkLoader) {
            EXPECT_GE(bytesReported.load(), 0) << "the options reached the batch";
            for (size_t i : {top, eyes}) {
                EXPECT_EQ(filesBeside(root.path() + "/" + fileId(i)), 0u) << fileId(i);
                EXPECT_NE(service->resourceInfoDic()[fileId(i)]["fileState"],
                          QelFileStateDownloading)
                    << fileId(i);
            }
        } else {
            EXPECT_EQ(bytesReported.load(), -1) << "the old form got no options";
        }
        emulator().clearFaults();

        ErrorProbe again;
        kit->loadAvatarBaseItemsWithAvatarModel(model, nullptr, again.completion(), options);
        EXPECT_EQ(again.wait()->code(), -999) << "the token stays cancelled";
        ErrorProbe fresh;
        kit->loadAvatarBaseItemsWithAvatarModel(model, nullptr, fresh.completion(),
                                                QelTransferOptions());
        EXPECT_EQ(fresh.wait(), nullptr);
        EXPECT_THAT(componentIds(model), ElementsAre(fileId(hair), fileId(top), fileId(eyes)));
    }
}

TEST_F(ResourceKitTest, LoadingErrorsReachTheCompletion) {
    const size_t hair = itemOf("hair");
    // No model, no items, no loader: 777777 each, at once.
    const std::string selector = "loadAvatarBaseItemsWithAvatarModel:progress:completion:";
    ErrorProbe none;
    kit->loadAvatarBaseItemsWithAvatarModel(nullptr, nullptr, none.completion());
    EXPECT_EQ(none.wait()->localizedDescription(), selector + "方法中 avatarModel 为空");
    EXPECT_EQ(none.wait()->code(), 777777);

    ::testing::internal::CaptureStdout();
    auto empty = std::make_shared<QelAvatarModel>(R"({"bundle_list": []})");
    EXPECT_EQ(load(empty)->localizedDescription(), selector + "方法中 avatarModel 的道具列表为空");
    ::testing::internal::GetCapturedStdout();

    auto model = std::make_shared<QelAvatarModel>(Json{{"bundle_list", {fileId(hair)}}}.dump());
    kit->setResourceLoader(nullptr);
    ::testing::internal::CaptureStdout();
    const QelErrorPtr noLoader = load(model);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              errorLine(selector + "方法中 resourceLoader 为空"));
    ASSERT_NE(noLoader, nullptr);
    EXPECT_EQ(noLoader->code(), 777777);
    ResultProbe direct;
    ::testing::internal::CaptureStdout();
    kit->getSourceRemoteWithSourceIds({fileId(hair)}, nullptr, direct.completion());
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(direct.wait().error()->code(), 777777);

    // A download failure stops loading; nothing is added.
    kit->setResourceLoader(loader);
    emulator().addFault({{"path", "items/v3/resource/list"}, {"code", 100500}, {"message", "x"}});
    const QelErrorPtr failed = load(model);
    ASSERT_NE(failed, nullptr);
    EXPECT_NE(failed->code(), 888888);
    EXPECT_FALSE(model->addedBaseComponents());
    EXPECT_THAT(componentIds(model), IsEmpty());
}

TEST_F(ResourceKitTest, SortAndSplitFileModels) {
    const std::vector<QelFileModel> models = {{"/p/x", "x"}, {"/p/y", "y"}, {"/p/z", "z"}};
    const struct {
        std::vector<std::string> refer;
        std::vector<std::string> order;
    } cases[] = {
        {{"z", "q", "x"}, {"z", "x", "y"}},
        {{}, {"x", "y", "z"}},
        {{"y", "y", "z", "x"}, {"y", "z", "x"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> order;
        for (const auto& m : kit->sortArray(models, c.refer)) order.push_back(m.fileId());
        EXPECT_EQ(order, c.order);
    }
    const std::vector<QelFileModel> twins = {{"/1", "d"}, {"/2", "d"}, {"/3", "e"}};
    std::vector<std::string> paths;
    for (const auto& m : kit->sortArray(twins, {"e", "d", "d"})) paths.push_back(m.path());
    EXPECT_THAT(paths, ElementsAre("/3", "/1", "/2"));

    const auto [split, ids] =
        kit->parseFileIdsAndPathsWithFileModels({{"/a", "a"}, {"", "b"}, {"/c", ""}});
    EXPECT_THAT(split, ElementsAre("/a", "/c"));
    EXPECT_THAT(ids, ElementsAre("a", "b"));
}

// ---- Saving ----

TEST_F(ResourceKitTest, NewAvatarGoesToAFreshTimeStampedDirectory) {
    const Json description = {{"bundle_list", {fileId(0)}}, {"gender", 0}};
    auto early = std::make_shared<QelAvatarModel>(description.dump());
    ASSERT_TRUE(kit->saveAvatarModel(early));
    EXPECT_THAT(early->name(), ::testing::MatchesRegex("[0-9]{17}"));
    EXPECT_EQ(early->avatarPath(), custom / early->name());
    EXPECT_EQ(velmora::testing::readFile(early->avatarPath() + "/avatar.json"), description.dump());
    EXPECT_EQ(kit->customAvatars(), std::nullopt) << "no list before a listing";

    list();
    // Saves in quick succession never share a directory, even within one millisecond.
    std::vector<QelAvatarModelPtr> saved;
    for (int i = 0; i < 25; ++i) {
        auto model =
            std::make_shared<QelAvatarModel>(Json{{"bundle_list", {fileId(0)}}, {"n", i}}.dump());
        ASSERT_TRUE(kit->saveAvatarModel(model, "ignored"));
        saved.push_back(model);
    }
    std::set<std::string> names;
    for (size_t i = 0; i < saved.size(); ++i) {
        names.insert(saved[i]->name());
        EXPECT_EQ(
            Json::parse(velmora::testing::readFile(saved[i]->avatarPath() + "/avatar.json"))["n"],
            i);
    }
    EXPECT_EQ(names.size(), saved.size());
    ASSERT_TRUE(kit->customAvatars());
    EXPECT_EQ(kit->customAvatars()->size(), 1 + saved.size());
    EXPECT_EQ(kit->customAvatars()->back(), saved.back());

    // A store that has issued nothing yet steps over directories already there: those of the
    // coming second are made first.
    QelResourceKit::destroy();
    kit = QelResourceKit::sharedManager();
    kit->setupWithConfig(storeConfig, loader);
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (int64_t ms = now; ms < now + 1000; ++ms) fs::create_directory(custom / stampOf(ms));
    const std::string next = kit->getNewAvatarDirName();
    EXPECT_THAT(next, ::testing::MatchesRegex("[0-9]{17}"));
    EXPECT_FALSE(fs::exists(custom / next));
    EXPECT_NE(kit->getNewAvatarDirName(), next);
}

TEST_F(ResourceKitTest, SavingMovesACustomAvatarToItsIdAndKeepsBuiltinsInTheirRoot) {
    makeAvatarDir(custom.path(), "20240101000000000", {{"bundle_list", {fileId(1)}}});
    makeAvatarDir(builtin.path(), "shipped", {{"bundle_list", {fileId(2)}}});
    velmora::testing::writeFile(custom / "20240101000000000/extra.txt", "kept");
    const auto models = list();
    ASSERT_EQ(models.size(), 2u);
    auto shipped = models[0], mine = models[1];

    mine->setAvatarId("cloud-42");
    SystemLogCapture log;
    ASSERT_TRUE(kit->saveAvatarModel(mine));
    EXPECT_THAT(log.lines(), ::testing::Contains("renamePath 结果：成功"));
    EXPECT_EQ(mine->avatarPath(), custom / "cloud-42");
    EXPECT_EQ(mine->name(), "cloud-42");
    EXPECT_FALSE(fs::exists(custom / "20240101000000000"));
    EXPECT_EQ(velmora::testing::readFile(custom / "cloud-42/extra.txt"), "kept");
    EXPECT_TRUE(fs::exists(custom / "cloud-42/avatar.json"));
    EXPECT_EQ(kit->customAvatars()->size(), 1u) << "already listed: not added twice";

    // A built-in model stays below the built-in root...
    ASSERT_TRUE(kit->saveAvatarModel(shipped));
    EXPECT_EQ(shipped->avatarPath(), builtin / "shipped");
    // ...until a new listing makes other models built-in: then it is saved as a custom one.
    list();
    ASSERT_TRUE(kit->saveAvatarModel(shipped));
    EXPECT_EQ(shipped->avatarPath(), custom / "shipped");
    EXPECT_TRUE(fs::exists(custom / "shipped/avatar.json"));
}

TEST_F(ResourceKitTest, UnsafeNamesAreRefusedAndNothingMoves) {
    makeAvatarDir(custom.path(), "keep", {{"bundle_list", {fileId(1)}}});
    const auto models = list();
    ASSERT_EQ(models.size(), 1u);
    auto model = models[0];
    for (const std::string& id :
         {std::string("."), std::string(".."), std::string("a/b"), std::string("../up"),
          std::string("  "), std::string("nul\0x", 5), std::string("/")}) {
        SCOPED_TRACE(id);
        model->setAvatarId(id);
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(kit->saveAvatarModel(model));
        EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("不能用作目录名"));
        EXPECT_EQ(model->avatarPath(), custom / "keep");
        EXPECT_EQ(model->name(), "keep");
    }
    EXPECT_THAT(velmora::testing::fileNames(custom.path()), ElementsAre("keep"));
    EXPECT_THAT(velmora::testing::fileNames(custom / "keep"), ElementsAre("avatar.json"));

    // A path whose last component is no name is refused the same way.
    auto rootPath = std::make_shared<QelAvatarModel>("x", "/");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kit->saveAvatarModel(rootPath));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rootPath->avatarPath(), "/");
}

// ---- Deleting ----

TEST_F(ResourceKitTest, DeletionRules) {
    makeAvatarDir(builtin.path(), "shipped", {{"gender", 1}});
    makeAvatarDir(custom.path(), "mine", {{"gender", 1}});
    const std::string appRoot = custom / "Host.app";
    makeAvatarDir(appRoot, "packaged", {{"gender", 1}});
    list();
    auto shipped = kit->buildinAvatars()->at(0);
    auto mine = kit->customAvatars()->at(0);

    // Inside an application package: refused even from the custom list.
    auto packaged = std::make_shared<QelAvatarModel>("packaged", appRoot + "/packaged");
    kit->setCustomAvatars(std::vector<QelAvatarModelPtr>{mine, packaged});
    {
        SystemLogCapture log;
        EXPECT_FALSE(kit->deleteAvatarModel(packaged));
        EXPECT_THAT(log.lines(), ElementsAre("The avatar is builtin, Can not be deleted!"));
    }
    EXPECT_TRUE(fs::exists(appRoot + "/packaged/avatar.json"));
    EXPECT_FALSE(kit->canDeleteAvatarModel(packaged));
    EXPECT_FALSE(kit->canDeleteAvatarModel(nullptr));

    // A built-in avatar outside a package may go, and leaves the built-in list.
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(kit->deleteAvatarModel(shipped));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "🌞 Velmora Message: 成功删除：" + builtin / "shipped" + "\n");
    EXPECT_FALSE(fs::exists(builtin / "shipped"));
    EXPECT_THAT(*kit->buildinAvatars(), IsEmpty());
    EXPECT_TRUE(kit->deleteAvatarModel(mine));
    EXPECT_EQ(kit->customAvatars()->size(), 1u);

    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kit->deleteAvatarModel(mine));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              errorLine("avatarModel.avatarPath 不存在，" + custom / "mine"));
}

TEST_F(ResourceKitTest, OnlyAvatarDirectoriesAreEverDeleted) {
    makeAvatarDir(custom.path(), "mine", {{"gender", 1}});
    fs::create_directories(custom / "plain");
    velmora::testing::writeFile(custom / "plain/data.bin", "precious");
    velmora::testing::writeFile(custom / "avatar.json", "{}");  // even a root holding one
    velmora::testing::writeFile(builtin / "avatar.json", "{}");
    const std::string paths[] = {"/",
                                 custom.path(),
                                 custom.path() + "/",
                                 custom / "mine/..",
                                 builtin.path(),
                                 custom / "plain",
                                 custom / "mine/avatar.json"};
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        auto model = std::make_shared<QelAvatarModel>("x", path);
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(kit->deleteAvatarModel(model));
        EXPECT_NE(::testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(velmora::testing::readFile(custom / "plain/data.bin"), "precious");
    EXPECT_TRUE(fs::exists(custom / "mine/avatar.json"));
    EXPECT_TRUE(fs::exists(builtin / "avatar.json"));
}

// ---- The shared instance ----

TEST(ResourceKitShared, DestroyIsSafeAlwaysAndRearmsCreation) {
    QelResourceKit::destroy();
    QelResourceKit::destroy();
    auto first = QelResourceKit::sharedManager();
    EXPECT_EQ(QelResourceKit::sharedManager(), first);
    QelResourceManageConfig config;
    config.setCustomAvatarRootPath("/somewhere");
    first->setupWithConfig(config, nullptr);
    QelResourceKit::destroy();
    auto second = QelResourceKit::sharedManager();
    EXPECT_NE(second, first);
    EXPECT_EQ(second->config(), std::nullopt);
    EXPECT_EQ(second->customAvatarRootPath(),
              platform::appendPathComponent(platform::documentsDirectory(), "avatarsData"));
    QelResourceKit::destroy();

    // Concurrent first calls make one store.
    std::vector<std::shared_ptr<QelResourceKit>> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = QelResourceKit::sharedManager(); });
    for (auto& t : threads) t.join();
    for (const auto& kit : seen) EXPECT_EQ(kit, seen[0]);
    QelResourceKit::destroy();
}

}  // namespace
}  // namespace velmora::test

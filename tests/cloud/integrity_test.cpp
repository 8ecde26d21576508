// Hostile answers and damaged surroundings: nothing unverified is recorded as good, and no
// download touches what it does not own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/exchange_test_support.h"
#include "tests/cloud/integrity_support.h"
#include "velmora/encrypt_utils.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
using velmora::testing::readFile;
using velmora::testing::TempDir;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

class IntegrityTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        list = installItemList();
        items = list["list"];
        ASSERT_GE(items.size(), 8u);
        fs::create_directories(root / "GAvatarList/a1");
        writeFile(root / "GAvatarList/a1/avatar.json", "{\"mine\": true}");
        writeFile(outside / "keep.txt", "outside");
    }

    std::vector<std::string> ids(size_t from, size_t to) const {
        std::vector<std::string> out;
        for (size_t i = from; i < to; ++i) out.push_back(items[i]["resource_id"]);
        return out;
    }
    std::string fileUrl(size_t i) const {
        return emulator().baseUrl() + "/files/store/" + items[i]["md5"].get<std::string>() + "/" +
               fs::path(items[i]["path"].get<std::string>()).filename().string();
    }
    DownloadOutcome download(const std::vector<std::string>& resourceIds) {
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(resourceIds, nullptr, probe.completion());
        return probe.wait();
    }
    // The checks every case ends with.
    void expectIntegrity() {
        EXPECT_THAT(unverifiedEntries(service->resourceInfoDic(), list, root.path()), IsEmpty());
        EXPECT_THAT(unverifiedEntries(
                        Json::parse(readFile(service->pathOfResourceInfoJson()), nullptr, false),
                        list, root.path()),
                    IsEmpty());
        EXPECT_EQ(readFile(root / "GAvatarList/a1/avatar.json"), "{\"mine\": true}");
        EXPECT_EQ(snapshot(outside.path()),
                  (std::map<std::string, std::string>{{outside / "keep.txt", "outside"}}));
        EXPECT_THAT(temporaryFilesBelow(root.path()), IsEmpty());
    }

    TempDir outside;
    Json list;
    Json items;
};

TEST_F(IntegrityTest, CorruptDownloadsNeverReachTheirNames) {
    // A fresh install from a server that corrupts every file: nothing lands, nothing is trusted.
    emulator().addFault({{"path", ".bundle"}, {"corrupt", true}});
    DownloadOutcome outcome = download(ids(0, 4));
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_THAT(outcome.error->localizedDescription(), HasSubstr("MD5值比对不一致"));
    EXPECT_EQ(outcome.failFileIds.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const std::string fileId = items[i]["path"];
        EXPECT_FALSE(fs::exists(root / fileId)) << fileId;
        EXPECT_EQ(service->resourceInfoDic()[fileId]["fileState"], QelFileStateNeedsDownload);
    }
    expectIntegrity();

    // Good copies on disk survive a corrupt re-download: only the temporary file goes.
    emulator().clearFaults();
    outcome = download(ids(0, 4));
    ASSERT_EQ(outcome.error, nullptr);
    emulator().addFault({{"path", ".bundle"}, {"corrupt", true}});
    outcome = download(ids(0, 2));
    ASSERT_NE(outcome.error, nullptr);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(root / items[i]["path"].get<std::string>()),
                  items[i]["md5"].get<std::string>());
    expectIntegrity();

    // The same through the HTTP client: the target keeps its bytes, the failure says why.
    const std::string target = root / items[0]["path"].get<std::string>();
    const std::string before = readFile(target);
    ErrorProbe failed;
    auto answered = failed.callback();
    QelNetworking::sharedInstance()->downloadWithURL(
        fileUrl(0), fs::path(target).parent_path(), fs::path(target).filename(),
        items[0]["md5"].get<std::string>(), std::nullopt, nullptr,
        [answered](const std::string&) { answered(nullptr); }, answered);
    const QelErrorPtr error = std::get<0>(failed.wait());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(), "MD5值比对不一致");
    EXPECT_EQ(error->userInfo().at("QelExpectedMD5"), items[0]["md5"].get<std::string>());
    EXPECT_EQ(readFile(target), before);
}

TEST_F(IntegrityTest, HostilePathsBecomeFailedRecordsAndTouchNothing) {
    // A category directory with an item in it, the store's own file, a link out of the root.
    ASSERT_EQ(download(ids(0, 1)).error, nullptr);
    const std::string category = fs::path(items[0]["path"].get<std::string>()).parent_path();
    fs::create_symlink(outside.path(), root / "elsewhere");
    fs::create_directories(root / "real");
    fs::create_symlink(outside.path(), root / "real/link");
    fs::create_directories(root / (category + "/taken"));
    const auto categoryBefore = snapshot(root / category);
    const std::string infoBefore = readFile(service->pathOfResourceInfoJson());
    const std::string listBefore = readFile(service->pathOfResourceListJson());

    const std::vector<std::string> hostile = {category,
                                              "GAvatarList",
                                              "GAvatarList/a1/avatar.json",
                                              "GGenerateJson/resource_info.json",
                                              "GGenerateJson",
                                              "elsewhere/keep.txt",
                                              "elsewhere/new.bundle",
                                              category + "/taken",
                                              "real/link/new.bundle",
                                              "elsewhere/again.bundle",
                                              "../escape.bundle",
                                              "a/./b.bundle",
                                              ""};
    Json entries = Json::array();
    for (const auto& path : hostile)
        entries.push_back({{"path", path}, {"url", fileUrl(1)}, {"md5", items[1]["md5"]}});
    entries.push_back({{"path", items[1]["path"]}, {"url", fileUrl(1)}, {"md5", items[1]["md5"]}});
    emulator().addFault(
        {{"path", "items/v3/resource/list"},
         {"body", {{"code", 0}, {"message", ""}, {"data", {{"resource_list", entries}}}}}});
    std::vector<std::string> requested(entries.size(), "r");
    const DownloadOutcome outcome = download(requested);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), QelErrorCodeFailure);
    EXPECT_EQ(outcome.successFileIds, std::vector<std::string>{items[1]["path"]});
    EXPECT_EQ(outcome.failFileIds.size(), hostile.size() - 1);  // the empty path has no id
    EXPECT_THAT(outcome.error->localizedDescription(), HasSubstr(category + " 路径是一个目录"));
    EXPECT_THAT(outcome.error->localizedDescription(),
                HasSubstr(category + "/taken 路径是一个目录"));
    EXPECT_THAT(outcome.error->localizedDescription(),
                HasSubstr("elsewhere/again.bundle 路径超出下载目录"));
    EXPECT_THAT(outcome.error->localizedDescription(),
                HasSubstr("GGenerateJson/resource_info.json 路径超出下载目录"));

    // The category holds what it held, and the one good item that belongs there.
    auto categoryAfter = snapshot(root / category);
    const std::string good = root / items[1]["path"].get<std::string>();
    categoryAfter.erase(good);
    categoryAfter.erase(good.substr(0, good.rfind('.')) + "_meta");
    EXPECT_EQ(categoryAfter, categoryBefore);
    EXPECT_EQ(readFile(service->pathOfResourceListJson()), listBefore);
    const Json info = Json::parse(readFile(service->pathOfResourceInfoJson()));
    EXPECT_EQ(info.size(), Json::parse(infoBefore).size());
    EXPECT_FALSE(fs::exists(root.path() + "/../escape.bundle"));
    expectIntegrity();
}

TEST_F(IntegrityTest, FailedSavesReachTheCompletion) {
    // The state directory cannot be made: the configuration check must not report success.
    fs::remove_all(root / "GGenerateJson");
    writeFile(root / "GGenerateJson", "in the way");
    ErrorProbe done;
    service->getLatestCloudConfigWithVersion("1.0", done.callback());
    const QelErrorPtr error = std::get<0>(done.wait());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), QelErrorCodeFailure);
    EXPECT_THAT(error->localizedDescription(), HasSubstr("保存失败"));
    EXPECT_EQ(readFile(root / "GGenerateJson"), "in the way");
}

TEST_F(IntegrityTest, SetupWithAnotherRootStartsFromThatRootsOwnStates) {
    ASSERT_EQ(download(ids(0, 3)).error, nullptr);
    const std::string firstInfo = readFile(service->pathOfResourceInfoJson());
    ASSERT_FALSE(service->resourceInfoDic().empty());

    TempDir second;
    service->setupWithConfig(config, second.path());
    EXPECT_TRUE(isAbsent(service->resourceListDic()));
    EXPECT_EQ(service->resourceInfoDic(), Json::object());
    service->saveNewestResourceInfo();
    EXPECT_EQ(Json::parse(readFile(second / "GGenerateJson/resource_info.json")), Json::object());
    EXPECT_EQ(readFile(service->pathOfResourceInfoJson()),
              readFile(second / "GGenerateJson/resource_info.json"));

    service->setupWithConfig(config, root.path());
    EXPECT_EQ(service->resourceInfoDic(), Json::parse(firstInfo));
    EXPECT_EQ(readFile(root / "GGenerateJson/resource_info.json"), firstInfo);
    expectIntegrity();
}

TEST_F(IntegrityTest, SetupSweepsOnlyTheTemporaryFilesOfEndedProcesses) {
    const std::string dead = std::to_string(deadProcessId());
    const std::string live = std::to_string(::getpid());
    fs::create_directories(root / "hair/deep");
    const std::vector<std::string> swept = {".x.bundle.tmp-" + dead + "-0-17",
                                            "hair/.y.bundle.tmp-" + dead + "-12-999999",
                                            "hair/deep/.resource_info.json.tmp-" + dead + "-1-2"};
    const std::vector<std::string> kept = {
        ".x.bundle.tmp-" + live + "-0-17", ".hidden", "hair/x.tmp-" + dead + "-0-1",
        "hair/.y.bundle.tmp-" + dead + "-1", "hair/.z.tmp-" + dead + "-1-x"};
    for (const auto& name : swept) writeFile(root / name, "t");
    for (const auto& name : kept) writeFile(root / name, "t");
    writeFile(outside / (".o.bundle.tmp-" + dead + "-0-1"), "t");
    fs::create_symlink(outside.path(), root / "hair/link");

    service->setupWithConfig(config, root.path());
    for (const auto& name : swept) EXPECT_FALSE(fs::exists(root / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(root / name)) << name;
    EXPECT_TRUE(fs::exists(outside / (".o.bundle.tmp-" + dead + "-0-1")));
}

}  // namespace
}  // namespace velmora::test

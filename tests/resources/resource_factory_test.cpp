// The remote resource loader against the cloud emulator over loopback.
#include "velmora/resource_factory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cloud/cloud_test_support.h"
#include "tests/resources/resources_fixture.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
namespace fs = std::filesystem;
using velmora::testing::TempDir;

class ResourceFactoryTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        ASSERT_GE(items.size(), 8u);
        loader = std::make_shared<QelResourceFactory>();
        loader->setDownloadRootPath(root.path());
        emulator().clearRequests();  // the item list fetched above
    }

    std::string fileId(size_t i) const { return items[i]["path"].get<std::string>(); }
    std::string resourceId(size_t i) const { return items[i]["resource_id"].get<std::string>(); }
    /// Puts item i's file on disk and records it as present.
    void putOnDisk(size_t i, const std::string& under = {}) {
        const std::string path = (under.empty() ? root.path() : under) + "/" + fileId(i);
        writeBundleFile(path, "any", "item" + std::to_string(i));
        service->updateResourceStateWithFileIds({fileId(i)}, QelFileStateDownloaded);
    }
    size_t resourceListRequests() const {
        return emulator().requests("items/v3/resource/list").size();
    }

    Json items;
    std::shared_ptr<QelResourceFactory> loader;
};

TEST_F(ResourceFactoryTest, EverythingOnDiskCompletesAtOnceWithoutARequest) {
    putOnDisk(2);
    putOnDisk(0);
    service->updateResourceStateWithFileIds({fileId(0)}, QelFileStatePresent);
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds({fileId(2), fileId(0), fileId(2)}, probe.progress(),
                                         probe.completion());
    ASSERT_TRUE(probe.done()) << "completed before returning";
    const auto result = probe.wait();
    EXPECT_EQ(probe.thread(), std::this_thread::get_id());
    EXPECT_EQ(result.error(), nullptr);
    EXPECT_THAT(fileIdsOf(result), ElementsAre(fileId(2), fileId(0)));
    EXPECT_EQ(result.successFileModels()[0].path(), root.path() + "/" + fileId(2));
    EXPECT_THAT(result.failFileIds(), IsEmpty());
    EXPECT_THAT(result.invalidFileIds(), IsEmpty());
    EXPECT_THAT(probe.texts(), IsEmpty());
    EXPECT_TRUE(emulator().requests().empty()) << emulator().requests().dump(1);
}

TEST_F(ResourceFactoryTest, SortingByStateFileAndKnowledge) {
    TempDir other;
    const std::string r = other.path();
    for (const char* id : {"a.bundle", "b.bundle", "d.bundle", "e.bundle", "f.bundle"})
        writeBundleFile(r + "/" + id, "x", id);
    service->setResourceInfoDic({
        {"a.bundle", {{"resource_id", "ra"}, {"fileState", 0}}},  // on disk: local
        {"b.bundle", {{"resource_id", "rb"}, {"fileState", 1}}},  // on disk, state 1: fetch
        {"c.bundle", {{"resource_id", "rc"}, {"fileState", 3}}},  // state 3, file gone: fetch
        {"d.bundle", {{"resource_id", "rb"}, {"fileState", 1}}},  // same resource as b
        {"e.bundle", {{"resource_id", "re"}, {"fileState", 2}}},  // downloading, file there: local
        {"f.bundle", {{"resource_id", "rf"}}},                    // no state reads 0: local
        {"../escaped.bundle", {{"resource_id", "rx"}, {"fileState", 0}}},
    });
    loader->setDownloadRootPath(r);
    const auto [fetch, local, invalid] = loader->needDownloadItemInfosWithOriginFileIds(
        {"a.bundle", "b.bundle", "zz.bundle", "c.bundle", "d.bundle", "a.bundle", "e.bundle",
         "f.bundle", "zz.bundle", "../escaped.bundle", ""});
    EXPECT_THAT(fetch, ElementsAre("rb", "rc"));
    EXPECT_THAT(local, ElementsAre("a.bundle", "e.bundle", "f.bundle"));
    EXPECT_THAT(invalid, ElementsAre("zz.bundle", "../escaped.bundle", ""));
}

TEST_F(ResourceFactoryTest, LocalDownloadedAndUnknownInOneResult) {
    putOnDisk(5);
    const std::vector<std::string> requested = {fileId(1), "nope/x.bundle", fileId(5), fileId(3),
                                                "nope/y.bundle"};
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds(requested, probe.progress(), probe.completion());
    const auto result = probe.wait();
    EXPECT_TRUE(probe.onMainQueue());
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->code(), 888888);
    EXPECT_EQ(result.error()->localizedDescription(),
              "nope/x.bundle,nope/y.bundle 在 item_list 中不存在");
    const auto ids = fileIdsOf(result);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], fileId(5)) << "local items first";
    EXPECT_THAT(std::vector<std::string>(ids.begin() + 1, ids.end()),
                UnorderedElementsAreArray({fileId(1), fileId(3)}));
    for (const auto& model : result.successFileModels()) {
        EXPECT_EQ(model.path(), root.path() + "/" + model.fileId());
        EXPECT_TRUE(fs::exists(model.path()));
    }
    EXPECT_THAT(result.invalidFileIds(), ElementsAre("nope/x.bundle", "nope/y.bundle"));
    EXPECT_THAT(result.failFileIds(), IsEmpty());
    EXPECT_THAT(probe.texts(), ElementsAre("0/2", "1/2", "2/2"));
    const Json sent = emulator().requests("items/v3/resource/list");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(Json::parse(CloudEmulator::recordedBody(sent.back())),
              (Json{{"resourceids", {resourceId(1), resourceId(3)}}}));
}

TEST_F(ResourceFactoryTest, OnlyUnknownOrNothingSendsNothing) {
    ResultProbe unknown;
    loader->getSourceRemoteWithSourceIds({"u/1.bundle", "u/2.bundle"}, nullptr,
                                         unknown.completion());
    const auto result = unknown.wait();
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->code(), 888888);
    EXPECT_EQ(result.error()->localizedDescription(),
              "u/1.bundle,u/2.bundle 在 item_list 中不存在");
    EXPECT_THAT(result.successFileModels(), IsEmpty());

    ResultProbe empty;
    loader->getSourceRemoteWithSourceIds({}, nullptr, empty.completion());
    EXPECT_EQ(empty.wait().error(), nullptr);
    EXPECT_THAT(empty.wait().successFileModels(), IsEmpty());
    loader->getSourceRemoteWithSourceIds({"u/3.bundle"}, nullptr, nullptr);
    EXPECT_TRUE(emulator().requests().empty()) << emulator().requests().dump(1);
}

TEST_F(ResourceFactoryTest, EarlyDownloadFailureKeepsTheLocalItems) {
    putOnDisk(0);
    emulator().addFault(
        {{"path", "items/v3/resource/list"}, {"code", 100500}, {"message", "down"}});
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds({fileId(0), fileId(1), "unknown.bundle"}, nullptr,
                                         probe.completion());
    const auto result = probe.wait();
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->code(), 100500) << "the download's error, not the 888888 warning";
    EXPECT_THAT(fileIdsOf(result), ElementsAre(fileId(0)));
    EXPECT_THAT(result.failFileIds(), IsEmpty());
    EXPECT_THAT(result.invalidFileIds(), ElementsAre("unknown.bundle"));
}

TEST_F(ResourceFactoryTest, FailedFilesAreReportedBesideTheGoodOnes) {
    const std::string suffix =
        items[2]["md5"].get<std::string>() + "/" + fs::path(fileId(2)).filename().string();
    emulator().addFault({{"path", suffix}, {"corrupt", true}});
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds({fileId(1), fileId(2)}, nullptr, probe.completion());
    const auto result = probe.wait();
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->code(), 999999);
    EXPECT_THAT(fileIdsOf(result), ElementsAre(fileId(1)));
    EXPECT_THAT(result.failFileIds(), ElementsAre(fileId(2)));
}

TEST_F(ResourceFactoryTest, OwnRootForLocalFilesServiceRootForDownloads) {
    TempDir own;
    putOnDisk(4, own.path());  // only below the loader's root
    putOnDisk(6);              // only below the service's root: to be fetched for the loader
    loader->setDownloadRootPath(own.path());
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds({fileId(4), fileId(6)}, nullptr, probe.completion());
    const auto result = probe.wait();
    EXPECT_EQ(result.error(), nullptr);
    EXPECT_THAT(fileIdsOf(result), ElementsAre(fileId(4), fileId(6)));
    EXPECT_EQ(result.successFileModels()[0].path(), own.path() + "/" + fileId(4));
    EXPECT_EQ(result.successFileModels()[1].path(), own.path() + "/" + fileId(6));
    EXPECT_GT(resourceListRequests(), 0u);
    EXPECT_TRUE(fs::exists(itemPath(fileId(6))));
}

TEST_F(ResourceFactoryTest, WithoutARootTheServiceRootIsUsed) {
    putOnDisk(3);
    QelResourceFactory bare;
    EXPECT_EQ(bare.service(), service) << "the shared service, kept";
    EXPECT_EQ(bare.downloadRootPath(), "");
    ResultProbe probe;
    bare.getSourceRemoteWithSourceIds({fileId(3)}, nullptr, probe.completion());
    const auto result = probe.wait();
    EXPECT_EQ(result.error(), nullptr);
    ASSERT_EQ(result.successFileModels().size(), 1u);
    EXPECT_EQ(result.successFileModels()[0].path(), root.path() + "/" + fileId(3));
    EXPECT_EQ(resourceListRequests(), 0u);

    // The service is fixed at its first read, whatever happens to the shared one.
    QelCloudService::destroy();
    EXPECT_EQ(bare.service(), service);
}

// A host's loader that adds to the form with options and hands over to the base's plain form:
// the base must not come back to the override. Either entry loads once and completes once.
TEST_F(ResourceFactoryTest, HostSubclassHandingOverToTheBasesOtherFormLoadsOnce) {
    struct HostLoader : QelResourceFactory {
        int overrideCalls = 0;
        void getSourceRemoteWithOptions(const std::vector<std::string>& ids,
                                        const QelTransferOptions&, ProgressBlock progress,
                                        Completion completion) override {
            ++overrideCalls;
            QelResourceFactory::getSourceRemoteWithSourceIds(ids, std::move(progress),
                                                             std::move(completion));
        }
    };
    for (const bool withOptions : {true, false}) {
        SCOPED_TRACE(withOptions ? "through the override" : "through the plain form");
        HostLoader host;
        host.setDownloadRootPath(root.path());
        const size_t item = withOptions ? 1 : 2;
        ResultProbe probe;
        if (withOptions)
            host.getSourceRemoteWithOptions({fileId(item)}, QelTransferOptions(), nullptr,
                                            probe.completion());
        else
            host.getSourceRemoteWithSourceIds({fileId(item)}, nullptr, probe.completion());
        const auto result = probe.wait();
        EXPECT_EQ(result.error(), nullptr);
        EXPECT_THAT(fileIdsOf(result), ElementsAre(fileId(item)));
        EXPECT_TRUE(fs::exists(itemPath(fileId(item))));
        EXPECT_EQ(host.overrideCalls, withOptions ? 1 : 0);
    }
}

}  // namespace
}  // namespace velmora::test

// Avatar directories are host files, and a host's files can be anything: deep or huge
// descriptions, FIFOs, links out of the root, directories that are no avatars. Whatever a root
// holds, every operation answers once, and nothing on disk changes unless the operation succeeds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "tests/resources/resources_fixture.h"
#include "tests/support/temp_dir.h"
#include "velmora/avatar_model.h"
#include "velmora/cloud_service.h"
#include "velmora/resource_kit.h"
#include "velmora/tool.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using velmora::testing::readFile;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

const Json kDescription = {{"bundle_list", {"hair/hair_1.bundle"}}, {"gender", 0}};

std::string deepDescription(size_t depth) {
    return R"({"bundle_list":["a.bundle"],"x":)" + std::string(depth, '[') +
           std::string(depth, ']') + "}";
}

// Everything below `dir` as it stands: each entry's kind and content (links not followed; a
// file over 2 MiB by its size alone).
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string relative = fs::relative(entry.path(), dir).string();
        const auto status = entry.symlink_status();
        if (fs::is_symlink(status))
            entries[relative] = "-> " + fs::read_symlink(entry.path()).string();
        else if (fs::is_regular_file(status))
            entries[relative] = entry.file_size() > (size_t{2} << 20)
                                    ? "size " + std::to_string(entry.file_size())
                                    : readFile(entry.path());
        else
            entries[relative] = fs::is_directory(status) ? "<dir>" : "<other>";
    }
    return entries;
}

std::string pngOf(int width, int height) {
    auto image = std::make_shared<QelImage>(
        width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4, 120));
    const auto png = image->pngData();
    return png ? std::string(png->begin(), png->end()) : std::string();
}

// Two roots and, beside them, a host's own directories that no avatar operation may touch.
class HostileAvatarDirs : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* dir : {"builtin", "custom", "outside/victim", "home/Pictures"})
            fs::create_directories(base_ / dir);
        makeAvatarDir(builtin(), "shipped", kDescription);
        makeAvatarDir(custom(), "a1", {{"bundle_list", {"a.bundle"}}, {"who", "a1"}});
        makeAvatarDir(custom(), "b1", {{"bundle_list", {"b.bundle"}}, {"who", "b1"}});
        writeFile(base_ / "outside/victim/avatar.json", kDescription.dump());
        writeFile(base_ / "outside/victim/precious.txt", "the host's own");
        writeFile(base_ / "home/Pictures/photo.jpg", "pixels");
        QelResourceKit::destroy();
        kit_ = QelResourceKit::sharedManager();
        config_.setCustomAvatarRootPath(custom());
        config_.setBuildInAvatarsPath(builtin());
        kit_->setupWithConfig(config_, nullptr);
    }
    void TearDown() override {
        kit_.reset();
        QelResourceKit::destroy();
    }

    std::string builtin() const { return base_ / "builtin"; }
    std::string custom() const { return base_ / "custom"; }
    QelResourceKit::ModelList list() {
        CallbackProbe<std::optional<QelResourceKit::ModelList>> probe;
        kit_->getAvatarListWithCompletion(probe.completion());
        return probe.wait().value_or(QelResourceKit::ModelList{});
    }

    EngineFiles engine_;
    velmora::testing::TempDir base_;
    QelResourceManageConfig config_;
    std::shared_ptr<QelResourceKit> kit_;
};

// What every reader of a description makes of a hostile one: nothing, once, without dying or
// waiting, and with nothing written anywhere.
TEST_F(HostileAvatarDirs, UnreadableDescriptionsReadAsNothingEverywhere) {
    const struct {
        const char* name;
        std::function<void(const std::string& dir)> arrange;
        bool iconReadable;
    } cases[] = {
        // Under the size bound, far over the depth bound: copying its tree would overflow the
        // stack.
        {"deep",
         [](const std::string& dir) { writeFile(dir + "/avatar.json", deepDescription(100000)); },
         true},
        {"fifo",
         [](const std::string& dir) {
             ASSERT_EQ(::mkfifo((dir + "/avatar.json").c_str(), 0600), 0);
             ASSERT_EQ(::mkfifo((dir + "/avatar.png").c_str(), 0600), 0);
         },
         false},
        // 200 MiB claimed by a sparse file: refused by its size, never read.
        {"huge",
         [](const std::string& dir) {
             writeFile(dir + "/avatar.json", R"({"bundle_list":["a.bundle"]})");
             ASSERT_EQ(::truncate((dir + "/avatar.json").c_str(), off_t{200} << 20), 0);
         },
         true},
        {"just-over-the-bound",
         [](const std::string& dir) {
             std::string text = R"({"bundle_list":["a.bundle"],"pad":")";
             text += std::string(QelTool::kMaxAvatarDescriptionBytes - text.size() - 1, 'x');
             writeFile(dir + "/avatar.json", text + "\"}");
         },
         true},
        {"linked-file",
         [this](const std::string& dir) {
             fs::create_symlink(base_ / "outside/victim/avatar.json", dir + "/avatar.json");
         },
         true},
        {"linked-directory",
         [this](const std::string& dir) {
             fs::remove(dir);
             fs::create_directory_symlink(base_ / "outside/victim", dir);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = custom() + "/" + c.name;
        fs::create_directories(dir);
        c.arrange(dir);
        // A good icon beside the description, so that the upload gets as far as reading it.
        if (!fs::exists(fs::symlink_status(dir + "/avatar.png")) && c.iconReadable)
            writeFile(dir + "/avatar.png", pngOf(30, 20));
        const auto before = snapshot(base_.path());

        QelAvatarModel model(c.name, dir);
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(isAbsent(model.avatarInfo()));
        EXPECT_EQ(model.iconImage() != nullptr, c.iconReadable);
        EXPECT_EQ(model.avatar(), nullptr);
        EXPECT_EQ(model.clone()->avatar(), nullptr);
        EXPECT_FALSE(model.save());
        const std::string logged = ::testing::internal::GetCapturedStdout();
        EXPECT_THAT(logged, HasSubstr(dir + " 下的 avatar.json 异常！"));

        auto listed = std::make_shared<QelAvatarModel>(c.name, dir);
        ErrorProbe load;
        ::testing::internal::CaptureStdout();
        kit_->loadAvatarBaseItemsWithAvatarModel(listed, nullptr, load.completion());
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(load.done()) << "refused before anything is fetched";
        EXPECT_EQ(load.wait()->code(), QelErrorCodeMissingArgument);

        CallbackProbe<QelErrorPtr> upload;
        QelCloudService::sharedService()->uploadAvatarInfoWithAvatarPath(
            dir, [&upload](const QelErrorPtr& error, const std::optional<std::string>& id) {
                EXPECT_EQ(id, std::nullopt);
                upload.completion()(error);
            });
        ASSERT_TRUE(upload.done()) << "refused before anything is sent";
        EXPECT_EQ(upload.wait()->code(), QelErrorCodeFailure);

        EXPECT_EQ(snapshot(base_.path()), before);
        fs::remove_all(dir);
    }
}

// Saving and renaming through the store: a refused save moves, writes and changes nothing, in the
// roots or outside them.
TEST_F(HostileAvatarDirs, RefusedSavesMoveAndWriteNothing) {
    const struct {
        const char* name;
        std::function<QelAvatarModelPtr()> arrange;
        const char* logged;
    } cases[] = {
        {"save through a link out of the root",
         [this] {
             fs::create_directory_symlink("../outside/victim", custom() + "/evil");
             auto model = std::make_shared<QelAvatarModel>(kDescription.dump());
             model->setAvatarPath(custom() + "/evil");
             return model;
         },
         "不是形象目录"},
        {"rename a link out of the root",
         [this] {
             fs::create_directory_symlink("../outside/victim", custom() + "/evil");
             auto model = std::make_shared<QelAvatarModel>("evil", custom() + "/evil");
             model->setAvatarId("renamed");
             return model;
         },
         "不能移动"},
        {"the built-in root itself",
         [this] {
             auto model = std::make_shared<QelAvatarModel>("x", builtin());
             model->setAvatarId("x");
             return model;
         },
         "不能移动"},
        {"a directory of the host's",
         [this] {
             auto model = std::make_shared<QelAvatarModel>("p", base_ / "home/Pictures");
             model->setAvatarId("p");
             return model;
         },
         "不能移动"},
        {"an avatar directory outside both roots",
         [this] {
             auto model = std::make_shared<QelAvatarModel>("victim", base_ / "outside/victim");
             model->setAvatarId("victim");
             return model;
         },
         "不能移动"},
        {"rename onto another avatar",
         [this] {
             auto model = std::make_shared<QelAvatarModel>("a1", custom() + "/a1");
             model->setAvatarId("b1");
             return model;
         },
         "不能覆盖另一个形象"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = c.arrange();
        const std::string path = model->avatarPath(), name = model->name();
        const auto before = snapshot(base_.path());
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(kit_->saveAvatarModel(model));
        EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr(c.logged));
        EXPECT_EQ(snapshot(base_.path()), before);
        EXPECT_EQ(model->avatarPath(), path);
        EXPECT_EQ(model->name(), name);
        fs::remove(custom() + "/evil");
    }
    EXPECT_EQ(readFile(custom() + "/b1/avatar.json"),
              Json({{"bundle_list", {"b.bundle"}}, {"who", "b1"}}).dump());
    EXPECT_THAT(list().size(), 3u) << "shipped, a1 and b1, as before";
}

TEST_F(HostileAvatarDirs, BuiltinModelWithoutBuiltinRootIsRefused) {
    const auto listed = list();
    ASSERT_EQ(listed.size(), 3u);
    auto shipped = listed[0];
    ASSERT_TRUE(kit_->isBuildinAvatar(shipped));
    QelResourceManageConfig noBuiltinRoot;
    noBuiltinRoot.setCustomAvatarRootPath(custom());
    kit_->setConfig(noBuiltinRoot);

    const auto before = snapshot(base_.path());
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(kit_->saveAvatarModel(shipped));
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("Code=777777"));
    EXPECT_EQ(snapshot(base_.path()), before);
    EXPECT_FALSE(fs::exists("shipped")) << "nothing lands in the working directory";
    EXPECT_EQ(shipped->avatarPath(), builtin() + "/shipped");
}

TEST_F(HostileAvatarDirs, ListingSkipsLinkedDirectoriesAndSavedAvatarsStillMove) {
    fs::create_directory_symlink("../outside/victim", custom() + "/evil");
    auto models = list();
    std::vector<std::string> names;
    for (const auto& model : models) names.push_back(model->name());
    EXPECT_THAT(names, ::testing::ElementsAre("shipped", "a1", "b1"));

    // The rules bar only what they must: an avatar of a root moves whole to a free name.
    models[1]->setAvatarId("c1");
    ASSERT_TRUE(kit_->saveAvatarModel(models[1]));
    EXPECT_EQ(models[1]->avatarPath(), custom() + "/c1");
    EXPECT_FALSE(fs::exists(custom() + "/a1"));
    EXPECT_EQ(Json::parse(readFile(custom() + "/c1/avatar.json"))["who"], "a1");
}

}  // namespace
}  // namespace velmora::test

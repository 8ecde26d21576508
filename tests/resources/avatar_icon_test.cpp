#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/image_fixtures.h"
#include "tests/support/temp_dir.h"
#include "velmora/avatar_model.h"
#include "velmora/cloud_service.h"
#include "velmora/image.h"
#include "velmora/platform.h"

namespace velmora {
namespace {

using velmora::testing::kPeakGrowthLimitMiB;
using velmora::testing::runInChild;
using velmora::testing::TempDir;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

class AvatarIconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::setSystemLogSink([](const std::string&) {});
        fs::create_directories(dir_);
    }
    void TearDown() override { platform::setSystemLogSink(nullptr); }
    void putIcon(const std::vector<uint8_t>& bytes) const {
        writeFile(dir_ + "/avatar.png", std::string(bytes.begin(), bytes.end()));
    }
    TempDir root_;
    const std::string dir_ = root_ / "Ann";
};

TEST_F(AvatarIconTest, SidewaysIconThatFitsIsSavedUpright) {
    // Stored as one row, red then blue, to be turned right: upright it is red above blue.
    const std::vector<uint8_t> stored = {255, 0, 0, 255, 0, 0, 255, 255};
    QelAvatarModel model("Ann", dir_);
    model.setIconImage(std::make_shared<QelImage>(2, 1, stored, 1.0, QelImageOrientation::Right));
    ASSERT_TRUE(model.saveIconImage());
    auto written = QelImage::imageWithContentsOfFile(dir_ + "/avatar.png");
    ASSERT_TRUE(written);
    ASSERT_EQ(written->pixelWidth(), 1);
    ASSERT_EQ(written->pixelHeight(), 2);
    EXPECT_EQ(written->pixels(), stored);  // red row first, then blue
}

// An icon larger than any screen shows at 150 points is not decoded, whoever reads it: the
// model (local and cloud avatars alike) and the upload of an avatar directory.
TEST_F(AvatarIconTest, IconsOverTheIconBudgetAreNotDecoded) {
    putIcon(testing::bilevelPNG(11585, 11585));
    const auto run = runInChild([&] { return !QelAvatarModel("Ann", dir_).iconImage(); });
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.answer);
    EXPECT_LT(run.peakGrowthMiB, kPeakGrowthLimitMiB);

    // Just over 2048 x 2048: an image would load, an icon does not.
    const auto wide = testing::midGreyJPEG(2064, 2048);
    ASSERT_TRUE(QelImage::imageWithData(wide));
    putIcon(wide);
    EXPECT_FALSE(QelAvatarModel("Ann", dir_).iconImage());
    putIcon(testing::midGreyJPEG(2048, 2048));
    EXPECT_TRUE(QelAvatarModel("Ann", dir_).iconImage());

    putIcon(wide);
    writeFile(dir_ + "/avatar.json", R"({"bundle_list":["a.bundle"]})");
    int calls = 0;
    QelCloudService::sharedService()->uploadAvatarInfoWithAvatarPath(
        dir_, [&](const QelErrorPtr& error, const std::optional<std::string>& id) {
            ++calls;
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), 999999);
            EXPECT_EQ(error->localizedDescription(), "avatar信息必须完整才能上传");
            EXPECT_FALSE(id);
        });
    EXPECT_EQ(calls, 1);
    QelCloudService::destroy();
}

}  // namespace
}  // namespace velmora

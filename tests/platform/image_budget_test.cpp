#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/image_fixtures.h"
#include "velmora/image.h"
#include "velmora/platform.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

class ImageBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::setSystemLogSink([](const std::string&) {});
    }
    void TearDown() override {
        QelImage::setMaximumDecodedPixels(QelImage::kDefaultMaximumDecodedPixels);
        platform::setSystemLogSink(nullptr);
    }
};

std::vector<uint8_t> truncated(std::vector<uint8_t> data, size_t size) {
    data.resize(size);
    return data;
}

}  // namespace

// Each file lies about its size, is too large, or is cut short: every way in refuses it, and
// none allocates for the size it claims first.
TEST_F(ImageBudget, HostileImagesAreRefusedBeforeTheyCostMemory) {
    const auto tinyPNG = *QelImage(1, 1, {1, 2, 3, 255}).pngData();
    const auto noisePNG = *QelImage(64, 64, noiseRGB(64, 64, 4)).pngData();
    const auto bigNoisePNG = *QelImage(1000, 1000, noiseRGB(1000, 1000, 4)).pngData();
    const auto noiseJPEG = encodeJPEG(noiseRGB(48, 48), 48, 48);
    const auto bigNoiseJPEG = encodeJPEG(noiseRGB(2000, 2000), 2000, 2000);
    const struct {
        const char* name;
        std::vector<uint8_t> data;
    } cases[] = {
        {"PNG header claiming 11585 x 11585", withDeclaredPNGSize(tinyPNG, 11585, 11585)},
        {"valid one-bit PNG of 11585 x 11585", bilevelPNG(11585, 11585)},
        {"PNG claiming 6000 x 6000 (within the budget) over 64 x 64 of data",
         withDeclaredPNGSize(noisePNG, 6000, 6000)},
        {"PNG cut in its image data", truncated(bigNoisePNG, bigNoisePNG.size() / 2)},
        {"JPEG claiming 11000 x 11000", withDeclaredJPEGSize(noiseJPEG, 11000, 11000)},
        {"JPEG claiming 7000 x 7000 (within the budget) over 48 x 48 of data",
         withDeclaredJPEGSize(noiseJPEG, 7000, 7000)},
        {"progressive JPEG claiming 11000 x 11000",
         withDeclaredJPEGSize(encodeJPEG(noiseRGB(48, 48), 48, 48, true), 11000, 11000)},
        {"JPEG cut in its scan", truncated(bigNoiseJPEG, bigNoiseJPEG.size() / 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildRun run = runInChild([&] {
            return !QelImage::imageWithData(c.data) && !QelImage::iconWithData(c.data) &&
                   !QelImage::compressImageWithData(c.data, {150, 150});
        });
        ASSERT_TRUE(run.finished);
        EXPECT_TRUE(run.answer);
        EXPECT_LT(run.peakGrowthMiB, kPeakGrowthLimitMiB);
    }
}

// Every cut short of the image data is refused, and the header parsers read nothing beyond the
// bytes given, however few (ASan watches). A PNG cut only in its end chunk is whole.
TEST_F(ImageBudget, EveryCutIsRefused) {
    const auto png = *QelImage(3, 2, noiseRGB(3, 2, 4)).pngData();
    const auto jpeg = encodeJPEG(noiseRGB(16, 16), 16, 16);
    for (const auto& [data, whole] : {std::pair{&png, png.size() - 12}, {&jpeg, jpeg.size()}}) {
        for (size_t size = 0; size < whole; ++size) {
            const std::vector<uint8_t> cut(data->begin(), data->begin() + long(size));
            EXPECT_FALSE(QelImage::imageWithData(cut)) << size;
            EXPECT_FALSE(QelImage::compressImageWithData(cut, {1, 1})) << size;
        }
    }
}

// A 48-megapixel camera photograph still loads whole; a 200-megapixel one is refused whole but
// fitted into a screen through the reduced decode, at a small cost.
TEST_F(ImageBudget, LargePhotographsStillLoad) {
    const auto photo48 = midGreyJPEG(8000, 6000);
    const ChildRun whole = runInChild([&] {
        auto image = QelImage::imageWithData(photo48);
        return image && image->pixelWidth() == 8000 && image->pixelHeight() == 6000 &&
               std::abs(image->pixels()[(size_t(3000) * 8000 + 4000) * 4] - 128) <= 2;
    });
    ASSERT_TRUE(whole.finished);
    EXPECT_TRUE(whole.answer);

    const auto photo200 = midGreyJPEG(16384, 12288);
    const ChildRun refused = runInChild([&] { return !QelImage::imageWithData(photo200); });
    ASSERT_TRUE(refused.finished);
    EXPECT_TRUE(refused.answer);
    EXPECT_LT(refused.peakGrowthMiB, kPeakGrowthLimitMiB);

    const ChildRun fitted = runInChild([&] {
        auto image = QelImage::compressImageWithData(photo200, {720, 1280});
        return image && image->pixelWidth() == 720 && image->pixelHeight() == 540 &&
               std::abs(image->pixels()[(size_t(270) * 720 + 360) * 4] - 128) <= 2;
    });
    ASSERT_TRUE(fitted.finished);
    EXPECT_TRUE(fitted.answer);
    EXPECT_LT(fitted.peakGrowthMiB, kPeakGrowthLimitMiB);
}

TEST_F(ImageBudget, BudgetIsASettingOnTheDecodedSize) {
    const auto png64 = *QelImage(64, 64, noiseRGB(64, 64, 4)).pngData();
    const auto png65 = *QelImage(65, 64, noiseRGB(65, 64, 4)).pngData();
    QelImage::setMaximumDecodedPixels(64 * 64);
    EXPECT_EQ(QelImage::maximumDecodedPixels(), 64u * 64u);
    EXPECT_TRUE(QelImage::imageWithData(png64));
    EXPECT_FALSE(QelImage::imageWithData(png65));
    EXPECT_FALSE(QelImage::iconWithData(png65));  // the smaller of the two budgets

    // 800 x 800 is over the budget whole, but an eighth of it (100 x 100) is not.
    const auto baseline = midGreyJPEG(800, 800);
    QelImage::setMaximumDecodedPixels(100 * 100);
    EXPECT_FALSE(QelImage::imageWithData(baseline));
    auto fitted = QelImage::compressImageWithData(baseline, {50, 50});
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->pixelWidth(), 50);
    EXPECT_FALSE(QelImage::compressImageWithData(baseline, {150, 150}));  // needs a quarter
    // A progressive JPEG holds its whole declared size, whatever it outputs.
    const auto progressive = encodeJPEG(noiseRGB(800, 800), 800, 800, true);
    EXPECT_FALSE(QelImage::compressImageWithData(progressive, {50, 50}));
    QelImage::setMaximumDecodedPixels(800 * 800);
    EXPECT_TRUE(QelImage::compressImageWithData(progressive, {50, 50}));

    // Icons have a budget of their own, below the default one.
    QelImage::setMaximumDecodedPixels(QelImage::kDefaultMaximumDecodedPixels);
    const auto square = midGreyJPEG(2048, 2048);
    const auto wider = midGreyJPEG(2064, 2048);
    EXPECT_TRUE(QelImage::iconWithData(square));
    EXPECT_FALSE(QelImage::iconWithData(wider));
    EXPECT_TRUE(QelImage::imageWithData(wider));
}

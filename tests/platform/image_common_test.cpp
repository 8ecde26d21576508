#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/image.h"
#include "velmora/platform.h"
#include "velmora/window.h"

using namespace velmora;
using velmora::testing::SystemLogCapture;
using velmora::testing::TempDir;

namespace {

// Six distinct opaque colours named by letters, so a layout reads like the picture it is.
uint32_t colourOf(char letter) {
    return 0xFF000000u | uint32_t(letter) * 0x010305u;
}

// Rows of letters, top to bottom, as RGBA pixels.
QelImagePtr imageOf(const std::vector<std::string>& rows, QelImageOrientation orientation,
                    double scale = 1.0) {
    const int width = static_cast<int>(rows[0].size()), height = static_cast<int>(rows.size());
    std::vector<uint8_t> rgba;
    for (const auto& row : rows) {
        for (char letter : row) {
            uint32_t c = colourOf(letter);
            rgba.insert(rgba.end(),
                        {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)});
        }
    }
    return std::make_shared<QelImage>(width, height, std::move(rgba), scale, orientation);
}

std::vector<std::string> lettersOf(const QelImage& image) {
    std::map<uint32_t, char> byColour;
    for (char letter = 'A'; letter <= 'Z'; ++letter) byColour[colourOf(letter)] = letter;
    std::vector<std::string> rows;
    for (int y = 0; y < image.pixelHeight(); ++y) {
        std::string row;
        for (int x = 0; x < image.pixelWidth(); ++x) {
            const uint8_t* p = &image.pixels()[(size_t(y) * image.pixelWidth() + x) * 4];
            uint32_t c = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
            row += byColour.count(c) ? byColour[c] : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<uint8_t> solid(int width, int height, uint8_t grey) {
    std::vector<uint8_t> rgba(size_t(width) * height * 4, grey);
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    return rgba;
}

}  // namespace

// The upright picture is   A B C   ; each row below is how a camera stores it for that code.
//                          D E F
TEST(ImageOrientation, EveryCodeStandsThePixelsUpright) {
    const struct {
        QelImageOrientation orientation;
        std::vector<std::string> stored;
    } cases[] = {
        {QelImageOrientation::Down, {"FED", "CBA"}},
        {QelImageOrientation::UpMirrored, {"CBA", "FED"}},
        {QelImageOrientation::DownMirrored, {"DEF", "ABC"}},
        {QelImageOrientation::Right, {"CF", "BE", "AD"}},
        {QelImageOrientation::Left, {"DA", "EB", "FC"}},
        {QelImageOrientation::LeftMirrored, {"AD", "BE", "CF"}},
        {QelImageOrientation::RightMirrored, {"FC", "EB", "DA"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.orientation));
        auto source = imageOf(c.stored, c.orientation);
        ASSERT_EQ(source->size(), (QelSize{3, 2}));
        auto fixed = QelImage::fixOrientation(source);
        ASSERT_TRUE(fixed);
        EXPECT_NE(fixed, source);
        EXPECT_EQ(fixed->imageOrientation(), QelImageOrientation::Up);
        EXPECT_EQ(fixed->size(), (QelSize{3, 2}));
        EXPECT_EQ(lettersOf(*fixed), (std::vector<std::string>{"ABC", "DEF"}));
    }
}

TEST(ImageOrientation, UprightImageIsAnsweredItselfAndNothingStaysNothing) {
    auto up = imageOf({"ABC", "DEF"}, QelImageOrientation::Up);
    EXPECT_EQ(QelImage::fixOrientation(up), up);
    EXPECT_EQ(QelImage::fixOrientation(nullptr), nullptr);
}

TEST(ImageOrientation, FullResolutionAndScaleAreKept) {
    // 480 x 640 stored pixels at scale 2, turned right: 320 x 240 points, all 640 x 480 pixels.
    std::vector<uint8_t> rgba(size_t(480) * 640 * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<uint8_t>(i * 31 % 251);
    auto source = std::make_shared<QelImage>(480, 640, rgba, 2.0, QelImageOrientation::Right);
    auto fixed = QelImage::fixOrientation(source);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->size(), (QelSize{320, 240}));
    EXPECT_EQ(fixed->scale(), 2.0);
    EXPECT_EQ(fixed->pixelWidth(), 640);
    EXPECT_EQ(fixed->pixelHeight(), 480);
    // The stored bottom-left corner is the upright top-left one.
    const uint8_t* corner = &rgba[(size_t(639) * 480) * 4];
    EXPECT_TRUE(std::equal(corner, corner + 4, fixed->pixels().begin()));
}

TEST(ImageCompress, FitsIntoTheBoxAsATable) {
    const struct {
        int width, height;
        QelSize box;
        int outWidth, outHeight;  // pixels at scale 1
        const char* logged;
    } cases[] = {
        {300, 100, {150, 150}, 150, 50, "---width：150，height：50"},
        {100, 400, {150, 150}, 38, 150, "---width：38，height：150"},    // 37.5 points
        {400, 300, {200, 100}, 134, 100, "---width：133，height：100"},  // 133.3, second division
        {100, 600, {100, 300}, 50, 300, "---width：50，height：300"},
        {300, 300, {150, 100}, 100, 100, "---width：100，height：100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        SystemLogCapture log;
        auto image = std::make_shared<QelImage>(c.width, c.height, solid(c.width, c.height, 90));
        auto fitted = QelImage::compressImage(image, c.box);
        ASSERT_TRUE(fitted);
        EXPECT_EQ(fitted->pixelWidth(), c.outWidth);
        EXPECT_EQ(fitted->pixelHeight(), c.outHeight);
        EXPECT_EQ(fitted->scale(), 1.0);
        EXPECT_LE(fitted->size().width, c.box.width + 1);
        EXPECT_LE(fitted->size().height, c.box.height);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{c.logged}));
        EXPECT_EQ(fitted->pixels()[0], 90);  // averaged, not smeared or darkened
    }
}

TEST(ImageCompress, ImageThatFitsOrZeroBoxIsAnsweredItself) {
    auto image = std::make_shared<QelImage>(100, 100, solid(100, 100, 7));
    {
        SystemLogCapture log;
        EXPECT_EQ(QelImage::compressImage(image, {150, 150}), image);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"---width：100，height：100"}));
    }
    for (QelSize box : {QelSize{0, 50}, QelSize{50, 0}, QelSize{-10, -10}, QelSize{0, 0}})
        EXPECT_EQ(QelImage::compressImage(image, box), image);
    EXPECT_EQ(QelImage::compressImage(nullptr, {10, 10}), nullptr);

    // One that fits but is stored sideways comes back upright, its size and scale kept: PNG
    // would drop the orientation.
    auto sideways = imageOf({"CF", "BE", "AD"}, QelImageOrientation::Right, 2.0);
    SystemLogCapture log;
    auto upright = QelImage::compressImage(sideways, {150, 150});
    ASSERT_TRUE(upright);
    EXPECT_EQ(upright->imageOrientation(), QelImageOrientation::Up);
    EXPECT_EQ(upright->scale(), 2.0);
    EXPECT_EQ(upright->size(), sideways->size());
    EXPECT_EQ(lettersOf(*upright), (std::vector<std::string>{"ABC", "DEF"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"---width：2，height：1"}));
}

TEST(ImageCompress, SizeIsInPointsAndTheResultStandsUpright) {
    // 600 x 200 stored pixels at scale 2, turned left: 100 x 300 points upright; fitted into
    // 50 x 50 they become 16.67 x 50 points, 17 x 50 upright pixels.
    std::vector<uint8_t> rgba(size_t(600) * 200 * 4);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 600; ++x) {
            uint8_t* p = &rgba[(size_t(y) * 600 + x) * 4];
            p[0] = x < 300 ? 255 : 0;  // stored left half red, right half black
            p[3] = 255;
        }
    auto image = std::make_shared<QelImage>(600, 200, rgba, 2.0, QelImageOrientation::Left);
    ASSERT_EQ(image->size(), (QelSize{100, 300}));
    auto fitted = QelImage::compressImage(image, {50, 50});
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->imageOrientation(), QelImageOrientation::Up);
    EXPECT_EQ(fitted->pixelWidth(), 17);  // 16.67 points rounded up
    EXPECT_EQ(fitted->pixelHeight(), 50);
    // Turned a quarter anticlockwise, the stored right half (black) is on top.
    EXPECT_EQ(fitted->pixels()[0], 0);
    EXPECT_EQ(fitted->pixels()[(size_t(49) * 17) * 4], 255);
}

// A smooth JPEG of the given size whose Exif orientation tag says `exif` (1 ... 8).
std::vector<uint8_t> gradientJPEG(int width, int height, uint8_t exif) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / (width - 1));
            p[1] = static_cast<uint8_t>(y * 255 / (height - 1));
            p[2] = 128;
        }
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 92, 0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    // APP1 "Exif", big-endian TIFF with one entry: orientation (0x0112), SHORT, count 1.
    const std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 34, 'E', 'x',  'i', 'f', 0, 0,    'M', 'M',
                                       0,    42,   0, 0,  0,   8,    0,   1,   1, 0x12, 0,   3,
                                       0,    0,    0, 1,  0,   exif, 0,   0,   0, 0,    0,   0};
    out.insert(out.begin() + 2, app1.begin(), app1.end());
    return out;
}

TEST(ImageCompress, FromBytesMatchesDecodingThenFitting) {
    const struct {
        std::vector<uint8_t> data;
        QelSize box;
    } cases[] = {
        {gradientJPEG(800, 600, 6), {150, 150}},  // turned, decoded at a reduced scale
        {gradientJPEG(800, 600, 1), {300, 100}},  // upright, reduced
        {gradientJPEG(160, 120, 8), {150, 150}},  // turned, full scale still needed
        {gradientJPEG(64, 48, 3), {150, 150}},    // fits: decoded, then turned
        {*QelImage(300, 100, solid(300, 100, 60)).pngData(), {150, 150}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.box.width);
        SystemLogCapture oneStep;
        auto direct = QelImage::compressImageWithData(c.data, c.box);
        const auto oneStepLines = oneStep.lines();
        SystemLogCapture twoSteps;
        auto reference = QelImage::compressImage(QelImage::imageWithData(c.data), c.box);
        ASSERT_TRUE(direct);
        ASSERT_TRUE(reference);
        EXPECT_EQ(oneStepLines, twoSteps.lines());
        EXPECT_EQ(direct->pixelWidth(), reference->pixelWidth());
        EXPECT_EQ(direct->pixelHeight(), reference->pixelHeight());
        EXPECT_EQ(direct->imageOrientation(), reference->imageOrientation());
        EXPECT_EQ(direct->size(), reference->size());
        // The reduced decode differs from averaging the full one by a little, never by a turn.
        double difference = 0;
        for (size_t i = 0; i < direct->pixels().size(); ++i)
            difference += std::abs(int(direct->pixels()[i]) - int(reference->pixels()[i]));
        EXPECT_LT(difference / double(direct->pixels().size()), 3.0);
    }
    EXPECT_EQ(QelImage::compressImageWithData({1, 2, 3}, {10, 10}), nullptr);
    EXPECT_EQ(QelImage::compressImageWithData({}, {10, 10}), nullptr);
}

class ModuleImages : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::setMainBundlePath(bundle_.path());
        QelScreen::setScale(3);
        std::filesystem::create_directories(module("QelAvatarEdit") + "/icons");
        std::filesystem::create_directories(module("QelAvatarTrack"));
        std::filesystem::create_directories(module("QelCustomUIModule"));
    }
    void TearDown() override {
        platform::setMainBundlePath("");
        QelScreen::setScale(3);
    }
    std::string module(const std::string& name) const {
        return bundle_.path() + "/Frameworks/" + name + ".framework";
    }
    // A PNG whose width tells the variants apart.
    void put(const std::string& path, int width) const {
        ASSERT_TRUE(QelImage(width, 1, solid(width, 1, 0)).writePNGToFile(path));
    }
    TempDir bundle_;
};

TEST_F(ModuleImages, VariantForTheScreenScaleComesFirst) {
    const std::string edit = module("QelAvatarEdit");
    put(edit + "/close.png", 1);
    put(edit + "/close@2x.png", 2);
    put(edit + "/close@3x.png", 3);

    const struct {
        double screen;
        const char* name;
        int width;
        double scale;
    } cases[] = {
        {3, "close", 3, 3},     {2, "close", 2, 2},     {1, "close", 1, 1},
        {3, "close.png", 3, 3}, {2, "close.png", 2, 2}, {1, "close@2x.png", 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " @" + std::to_string(c.screen));
        QelScreen::setScale(c.screen);
        auto image = QelImage::avatarEditImageNamed(c.name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixelWidth(), c.width);
        EXPECT_EQ(image->scale(), c.scale);
    }
}

TEST_F(ModuleImages, FallbacksSubdirectoriesAndTheThreeModules) {
    put(module("QelAvatarEdit") + "/icons/only2x@2x.png", 2);
    put(module("QelAvatarTrack") + "/plain.png", 5);
    put(module("QelCustomUIModule") + "/noext", 6);
    put(module("QelCustomUIModule") + "/photo.jpg", 4);  // PNG bytes behind a .jpg name decode too

    QelScreen::setScale(3);
    auto fallback = QelImage::avatarEditImageNamed("icons/only2x");
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->scale(), 2.0);
    ASSERT_TRUE(QelImage::avatarTrackImageNamed("plain"));
    EXPECT_EQ(QelImage::avatarTrackImageNamed("plain")->scale(), 1.0);
    ASSERT_TRUE(QelImage::customUIImageNamed("noext"));
    EXPECT_EQ(QelImage::customUIImageNamed("noext")->pixelWidth(), 6);
    ASSERT_TRUE(QelImage::customUIImageNamed("photo.jpg"));
    EXPECT_EQ(QelImage::imageNamed("plain", "QelAvatarTrack")->pixelWidth(), 5);
}

TEST_F(ModuleImages, MissingOrUnsafeNamesAnswerNothing) {
    put(module("QelAvatarTrack") + "/plain.png", 5);
    put(bundle_.path() + "/Frameworks/outside.png", 5);
    velmora::testing::writeFile(module("QelAvatarTrack") + "/broken.png", "not a png");
    std::filesystem::create_directories(module("QelAvatarTrack") + "/folder.png");

    const std::pair<const char*, const char*> cases[] = {
        {"plain", "NoSuchModule"},
        {"missing", "QelAvatarTrack"},
        {"broken", "QelAvatarTrack"},
        {"folder", "QelAvatarTrack"},
        {"../outside", "QelAvatarTrack"},
        {"/etc/passwd", "QelAvatarTrack"},
        {"", "QelAvatarTrack"},
        {"plain", ""},
        {"plain", ".."},
        {"plain", "QelAvatarTrack/../QelAvatarTrack"},
    };
    for (const auto& [name, moduleName] : cases) {
        SCOPED_TRACE(std::string(name) + " in " + moduleName);
        EXPECT_EQ(QelImage::imageNamed(name, moduleName), nullptr);
    }
}

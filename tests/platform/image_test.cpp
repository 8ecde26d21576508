#include "velmora/image.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>

#include "tests/support/temp_dir.h"

using namespace velmora;
using velmora::testing::TempDir;

namespace {

// A gradient with varied alpha: every pixel differs, so a swapped channel or row shows.
std::vector<uint8_t> pattern(int width, int height) {
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgba[(size_t(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
            p[1] = static_cast<uint8_t>(y * 255 / std::max(1, height - 1));
            p[2] = static_cast<uint8_t>((x + y) % 256);
            p[3] = static_cast<uint8_t>(255 - (x * 7 + y) % 128);
        }
    }
    return rgba;
}

std::vector<uint8_t> solidJPEG(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, 95, 0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

// An Exif APP1 segment holding only the orientation tag, inserted after the start marker.
std::vector<uint8_t> withExifOrientation(std::vector<uint8_t> jpeg, uint16_t orientation,
                                         bool bigEndian) {
    std::vector<uint8_t> tiff =
        bigEndian ? std::vector<uint8_t>{'M',  'M',  0, 42, 0,
                                         0,    0,    8, 0,  1,
                                         0x01, 0x12, 0, 3,  0,
                                         0,    0,    1, 0,  static_cast<uint8_t>(orientation),
                                         0,    0,    0, 0,  0,
                                         0}
                  : std::vector<uint8_t>{'I',
                                         'I',
                                         42,
                                         0,
                                         8,
                                         0,
                                         0,
                                         0,
                                         1,
                                         0,
                                         0x12,
                                         0x01,
                                         3,
                                         0,
                                         1,
                                         0,
                                         0,
                                         0,
                                         static_cast<uint8_t>(orientation),
                                         0,
                                         0,
                                         0,
                                         0,
                                         0,
                                         0,
                                         0};
    std::vector<uint8_t> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    size_t length = segment.size() - 2;
    segment[2] = static_cast<uint8_t>(length >> 8);
    segment[3] = static_cast<uint8_t>(length & 0xFF);
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

}  // namespace

TEST(Image, PNGRoundTripKeepsEveryPixel) {
    QelImage image(7, 5, pattern(7, 5), 2.0);
    auto png = image.pngData();
    ASSERT_TRUE(png);
    auto decoded = QelImage::imageWithData(*png, 2.0);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pixelWidth(), 7);
    EXPECT_EQ(decoded->pixelHeight(), 5);
    EXPECT_EQ(decoded->pixels(), image.pixels());
    EXPECT_EQ(decoded->size(), (QelSize{3.5, 2.5}));

    TempDir dir;
    ASSERT_TRUE(image.writePNGToFile(dir / "a.png"));
    auto fromFile = QelImage::imageWithContentsOfFile(dir / "a.png");
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->pixels(), image.pixels());
    EXPECT_EQ(fromFile->scale(), 1.0);
}

TEST(Image, JPEGDecodesWithItsExifOrientation) {
    auto plain = QelImage::imageWithData(solidJPEG(16, 8, 200, 100, 50));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->pixelWidth(), 16);
    EXPECT_EQ(plain->pixelHeight(), 8);
    EXPECT_EQ(plain->imageOrientation(), QelImageOrientation::Up);
    const uint8_t* p = &plain->pixels()[(4 * 16 + 4) * 4];
    EXPECT_NEAR(p[0], 200, 3);
    EXPECT_NEAR(p[1], 100, 3);
    EXPECT_NEAR(p[2], 50, 3);
    EXPECT_EQ(p[3], 255);

    const std::pair<uint16_t, QelImageOrientation> table[] = {
        {1, QelImageOrientation::Up},
        {2, QelImageOrientation::UpMirrored},
        {3, QelImageOrientation::Down},
        {4, QelImageOrientation::DownMirrored},
        {5, QelImageOrientation::LeftMirrored},
        {6, QelImageOrientation::Right},
        {7, QelImageOrientation::RightMirrored},
        {8, QelImageOrientation::Left},
        {0, QelImageOrientation::Up},
        {9, QelImageOrientation::Up},
    };
    for (bool bigEndian : {false, true}) {
        for (auto [exif, expected] : table) {
            auto image = QelImage::imageWithData(
                withExifOrientation(solidJPEG(16, 8, 0, 0, 0), exif, bigEndian));
            ASSERT_TRUE(image) << exif;
            EXPECT_EQ(image->imageOrientation(), expected) << exif << " big-endian " << bigEndian;
        }
    }
    // Photographs taken upright on their side: 16 × 8 pixels, 8 × 16 points.
    auto right = QelImage::imageWithData(withExifOrientation(solidJPEG(16, 8, 0, 0, 0), 6, false));
    EXPECT_EQ(right->size(), (QelSize{8, 16}));
}

TEST(Image, GarbageAndTruncationAnswerNothing) {
    EXPECT_FALSE(QelImage::imageWithData({}));
    EXPECT_FALSE(QelImage::imageWithData({'G', 'I', 'F', '8', '9', 'a'}));
    auto png = *QelImage(4, 4, pattern(4, 4)).pngData();
    EXPECT_FALSE(QelImage::imageWithData(std::vector<uint8_t>(png.begin(), png.begin() + 40)));
    auto jpeg = solidJPEG(32, 32, 1, 2, 3);
    EXPECT_FALSE(QelImage::imageWithData(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 20)));
    // A damaged header claiming an enormous image is refused.
    std::vector<uint8_t> huge = png;
    huge[16] = 0x7F;  // width in the header chunk
    EXPECT_FALSE(QelImage::imageWithData(huge));
    EXPECT_FALSE(QelImage::imageWithContentsOfFile("/nonexistent/x.png"));
    EXPECT_FALSE(QelImage(0, 0, {}).pngData());
    EXPECT_TRUE(QelImage(3, 3, std::vector<uint8_t>(5)).empty());
}

TEST(Image, ShrinkingAveragesAreas) {
    // Two-pixel stripes of black and white shrink to an even grey, not to one of the two.
    const int w = 8, h = 4;
    std::vector<uint8_t> stripes(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t v = (x / 2) % 2 ? 255 : 0;
            uint8_t* p = &stripes[(size_t(y) * w + x) * 4];
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    auto half = QelImage(w, h, stripes, 2.0).scaledToPixelSize(2, 1);
    ASSERT_TRUE(half);
    EXPECT_EQ(half->pixelWidth(), 2);
    EXPECT_EQ(half->pixelHeight(), 1);
    EXPECT_EQ(half->scale(), 2.0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(half->pixels()[i * 4], 128, 1);
        EXPECT_EQ(half->pixels()[i * 4 + 3], 255);
    }

    // A fractional ratio keeps a smooth gradient smooth and in range.
    auto scaled = QelImage(300, 100, pattern(300, 100)).scaledToPixelSize(150, 50);
    ASSERT_TRUE(scaled);
    for (int x = 1; x < 150; ++x)
        EXPECT_GE(scaled->pixels()[(25 * 150 + x) * 4], scaled->pixels()[(25 * 150 + x - 1) * 4]);
    auto odd = QelImage(100, 400, pattern(100, 400)).scaledToPixelSize(38, 150);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->pixels().size(), size_t(38) * 150 * 4);
}

TEST(Image, TransparentPixelsDoNotBleed) {
    // Opaque red beside fully transparent green: the average stays red, half transparent.
    std::vector<uint8_t> rgba = {255, 0, 0, 255, 0, 255, 0, 0};
    auto one = QelImage(2, 1, rgba).scaledToPixelSize(1, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->pixels()[0], 255);
    EXPECT_EQ(one->pixels()[1], 0);
    EXPECT_NEAR(one->pixels()[3], 128, 1);
}

TEST(Image, EnlargingAndIdentity) {
    QelImage image(5, 3, pattern(5, 3));
    auto same = image.scaledToPixelSize(5, 3);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->pixels(), image.pixels());
    auto big = image.scaledToPixelSize(10, 6);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->pixelWidth(), 10);
    EXPECT_EQ(big->pixels()[0], image.pixels()[0]);  // corners keep their colour
    EXPECT_FALSE(image.scaledToPixelSize(0, 3));
}

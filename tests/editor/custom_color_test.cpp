#include "velmora/custom_color.h"

#include <gmock/gmock.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tests/support/log_capture.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;

// A colour channel as the hexadecimal and packed forms make it: the byte over 255 in single
// precision.
double channel(int byte) {
    return static_cast<double>(static_cast<float>(byte) / 255.0f);
}

QelPlatformColor rgb(int r, int g, int b, double alpha = 1.0) {
    return QelPlatformColor(channel(r), channel(g), channel(b), alpha);
}

TEST(CustomColorTest, HexadecimalTexts) {
    struct Case {
        std::string text;
        QelPlatformColor expected;
    };
    const Case cases[] = {
        {"#FF8000", rgb(255, 128, 0)},
        {"ff8000", rgb(255, 128, 0)},
        {"#ff8000", rgb(255, 128, 0)},
        {"#FF800080", rgb(255, 128, 0)},   // past the sixth character nothing counts
        {"##FF#80#00", rgb(255, 128, 0)},  // a leading "#" drops every "#"
        {"#0a1B2c", rgb(0x0a, 0x1b, 0x2c)},
        // Short or broken texts: a missing, incomplete or non-hexadecimal pair reads as 0.
        {"", rgb(0, 0, 0)},
        {"#", rgb(0, 0, 0)},
        {"#F", rgb(0, 0, 0)},
        {"#FF8", rgb(255, 0, 0)},
        {"#FF80", rgb(255, 128, 0)},
        {"#FF800", rgb(255, 128, 0)},
        {"GG8000", rgb(0, 128, 0)},
        {"F#F800", rgb(0, 0xF8, 0)},  // no leading "#": the "#" stays and spoils its pair
        {"0x1234", rgb(0, 0x12, 0x34)},
        {"8g8000", rgb(0, 128, 0)},
        {" FF800", rgb(0, 0xF8, 0)},
        // Characters are counted as the platform counts them, not in bytes.
        {"é12345", rgb(0, 0x23, 0x45)},
        {"😀1234", rgb(0, 0x12, 0x34)},
        {"\xff\xfe"
         "1234",
         rgb(0, 0x12, 0x34)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QelCustomColor::colorWithHexStr(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(QelCustomColor::colorWithHexStr("#FF8000", 0.25f), rgb(255, 128, 0, 0.25));
    EXPECT_EQ(QelCustomColor::colorWithHexStr("#FF800080", 0.25f), rgb(255, 128, 0, 0.25));
    EXPECT_EQ(QelCustomColor::colorWithHexStr("#FF8000").green(), 128.0f / 255.0f);
}

TEST(CustomColorTest, PackedValuesMatchTheirHexadecimalText) {
    EXPECT_EQ(QelCustomColor::colorWithRGBValue(0xFF8000),
              QelCustomColor::colorWithHexStr("#FF8000"));
    EXPECT_EQ(QelCustomColor::colorWithRGBValue(0xA5FF8000), rgb(255, 128, 0));
    EXPECT_EQ(QelCustomColor::colorWithRGBValue(0x000000), rgb(0, 0, 0));
    EXPECT_EQ(QelCustomColor::colorWithRGBValue(0xFFFFFFFF), rgb(255, 255, 255));
    EXPECT_EQ(QelCustomColor::colorWithRGBValue(0x123456), rgb(0x12, 0x34, 0x56));
}

TEST(CustomColorTest, CompareOrdersByBrightness) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float r, g, b;
        int32_t expected;
    };
    const QelCustomColor base(10, 20, 30, 1);
    const Case cases[] = {
        {30, 20, 10, 2}, {0, 0, 61, 1},  {0, 0, 59, 3},
        {0, 0, 60, 2},   {nan, 0, 0, 0}, {0, 0, std::nextafter(60.0f, 100.0f), 1},  // no tolerance
    };
    for (const Case& c : cases) {
        const QelCustomColor other(c.r, c.g, c.b, 0.5f);  // intensity takes no part
        EXPECT_EQ(base.compare(other), c.expected) << c.r << " " << c.g << " " << c.b;
    }
    EXPECT_EQ(QelCustomColor(nan, 0, 0, 1).compare(base), 0);
}

TEST(CustomColorTest, DictionaryRecordsKeepTheirDictionary) {
    struct Case {
        Json dic;
        float r, g, b, intensity;
    };
    const Case cases[] = {
        {{{"r", 255}, {"g", 128.5}, {"b", 0}, {"intensity", 0.8}}, 255, 128.5f, 0, 0.8f},
        {{{"r", 10}, {"g", 20}, {"b", 30}}, 10, 20, 30, 0},  // no intensity: 0
        {Json::object(), 0, 0, 0, 0},
        {{{"r", "12.5"}, {"g", " 7"}, {"b", "x"}, {"intensity", true}}, 12.5f, 7, 0, 1},
        {{{"r", nullptr}, {"g", Json::array({1})}, {"b", {{"v", 1}}}, {"extra", 9}}, 0, 0, 0, 0},
        {{{"r", 1e300}, {"g", -1e300}, {"b", 1}},
         std::numeric_limits<float>::infinity(),
         -std::numeric_limits<float>::infinity(),
         1,
         0},
        {Json::array({1, 2, 3}), 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const QelCustomColor record(c.dic);
        EXPECT_EQ(record.r(), c.r) << c.dic;
        EXPECT_EQ(record.g(), c.g) << c.dic;
        EXPECT_EQ(record.b(), c.b) << c.dic;
        EXPECT_EQ(record.intensity(), c.intensity) << c.dic;
        EXPECT_EQ(record.dic(), c.dic);  // as given: nothing added, nothing rebuilt
    }

    // The dictionary and the values go their own ways after creation.
    QelCustomColor record(Json{{"r", 1}, {"g", 2}, {"b", 3}});
    record.setDic(Json{{"r", 200}});
    EXPECT_EQ(record.r(), 1.0f);
    EXPECT_EQ(record.dic(), Json({{"r", 200}}));
}

TEST(CustomColorTest, ValueAndColourRecordsBuildTheirDictionary) {
    const QelCustomColor made(255, 128.25f, 0, 0.3f);
    EXPECT_EQ(made.dic(), Json({{"r", 255.0f}, {"g", 128.25f}, {"b", 0.0f}, {"intensity", 0.3f}}));

    const QelCustomColor fromColor(QelPlatformColor(1.0, 0.5, 0.25, 0.3));
    EXPECT_EQ(fromColor.r(), 255.0f);
    EXPECT_EQ(fromColor.g(), 127.5f);
    EXPECT_EQ(fromColor.b(), 63.75f);
    EXPECT_EQ(fromColor.intensity(), 1.0f);  // the colour's alpha is not used
    EXPECT_EQ(fromColor.dic(),
              Json({{"r", 255.0f}, {"g", 127.5f}, {"b", 63.75f}, {"intensity", 1.0f}}));

    const QelCustomColor grey(QelPlatformColor::colorWithWhite(0.5, 1.0));
    EXPECT_EQ(grey.r(), 127.5f);
    EXPECT_EQ(grey.g(), 127.5f);
    EXPECT_EQ(grey.b(), 127.5f);

    // The platform colour of a record is opaque whatever its intensity.
    EXPECT_EQ(made.color(), QelPlatformColor(1.0, 128.25 / 255.0, 0.0, 1.0));

    const auto fromDics = QelCustomColor::createFromDicArray(
        {Json{{"r", 1}}, Json{{"g", 2}}, Json{{"b", 3}, {"intensity", 4}}});
    ASSERT_EQ(fromDics.size(), 3u);
    EXPECT_EQ(fromDics[0]->r(), 1.0f);
    EXPECT_EQ(fromDics[1]->g(), 2.0f);
    EXPECT_EQ(fromDics[2]->b(), 3.0f);
    EXPECT_EQ(fromDics[2]->intensity(), 4.0f);

    const auto fromColors = QelCustomColor::createFromColorArray(
        {QelPlatformColor(1, 0, 0, 1), QelPlatformColor(0, 0, 1, 0.5)});
    ASSERT_EQ(fromColors.size(), 2u);
    EXPECT_EQ(fromColors[0]->r(), 255.0f);
    EXPECT_EQ(fromColors[1]->b(), 255.0f);
    EXPECT_EQ(fromColors[1]->intensity(), 1.0f);
}

TEST(CustomColorTest, DescriptionTextByteForByte) {
    const QelCustomColor record(1, 2.5f, 255, 0.3f);
    char hex[2 * sizeof(uintptr_t) + 1] = {};
    const auto address = reinterpret_cast<uintptr_t>(&record);
    std::to_chars(hex, hex + sizeof hex - 1, address, 16);
    EXPECT_EQ(record.description(), std::string("QelUIColor:0x") + hex +
                                        ",\n"
                                        "            r:1.000000,\n"
                                        "            g:2.500000,\n"
                                        "            b:255.000000,\n"
                                        "            intensity:0.300000\n");
}

TEST(CustomColorTest, EachReleaseIsLoggedOnce) {
    testing::SystemLogCapture log;
    {
        auto records = QelCustomColor::createFromDicArray({Json::object(), Json::object()});
        const QelCustomColor single(1, 2, 3, 4);
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_THAT(log.lines(), ElementsAre("QelExtendColor--销毁了!!!", "QelExtendColor--销毁了!!!",
                                         "QelExtendColor--销毁了!!!"));
}

}  // namespace
}  // namespace velmora

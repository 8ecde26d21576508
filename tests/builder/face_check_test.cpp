// Face checks on camera frames and images, with the stand-in engine's face data.
#include <gmock/gmock.h>

#include <cmath>
#include <limits>

#include "engine/render_kit.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/log_capture.h"
#include "velmora/builder_kit.h"

namespace velmora {
namespace {

using standin::FaceData;
using standin::FaceFrame;

constexpr const char* kNoFace = "未识别到人脸";

// A filter that records that it ran and passes.
class SpyFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel&) override {
        ++runs;
        return true;
    }
    int runs = 0;
};

FaceData faceAt(float x0, float y0, float x1, float y1) {
    return FaceData::frontal({x0, y0, x1, y1});
}

FaceData turnedFace(float degrees, QelVector3 axis, float length = 1.0f) {
    FaceData face = faceAt(300, 400, 500, 600);
    const double half = degrees * 3.141592653589793 / 360.0;
    const float s = static_cast<float>(std::sin(half)) * length;
    face.rotation = std::array<float, 4>{axis.x * s, axis.y * s, axis.z * s,
                                         static_cast<float>(std::cos(half)) * length};
    return face;
}

FaceData expressive(std::vector<float> coefficients) {
    FaceData face = faceAt(300, 400, 500, 600);
    face.expression = std::move(coefficients);
    return face;
}

std::vector<float> neutralWith(size_t index, float value) {
    std::vector<float> c(47, 0.0f);
    c[index] = value;
    return c;
}

class FaceCheckTest : public testing::EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        QelBuilderConfig config;
        config.setFaceProcessBundlePath(writeBundle("models/face.bundle", "face_processor", "f"));
        kit = QelBuilderKit::setupWithConfig(config);
    }

    /// Checks one 1000 × 1000 camera frame showing `frame`.
    QelFaceTrackResultModelPtr check(const FaceFrame& frame, const QelBuilderKit::FilterList& f) {
        standin::setFaceDataSource(standin::faceSequence({frame}));
        return kit->traceFaceWithPiexelBuffer(
            QelPixelBuffer::create(1000, 1000, QelPixelFormat32BGRA), 0, f);
    }

    static QelBuilderKit::FilterList allFilters() {
        return {std::make_shared<QelFaceTracSingleFaceFilter>(),
                std::make_shared<QelFaceTracRectFilter>(),
                std::make_shared<QelFaceTrackRotationFilter>(),
                std::make_shared<QelFaceTraceExpressionFilter>()};
    }

    std::shared_ptr<QelBuilderKit> kit;
};

TEST_F(FaceCheckTest, NewRecordsAndFilterDefaults) {
    const QelFaceTrackResultModel record;
    EXPECT_FALSE(record.isCompliant());
    EXPECT_EQ(record.code(), 0);
    EXPECT_EQ(record.message(), "");
    EXPECT_EQ(record.size(), (QelSize{0, 0}));
    EXPECT_FALSE(record.source().has_value());

    const QelFaceTracRectFilter rect;
    EXPECT_EQ(rect.centerScale(), 0.3f);
    EXPECT_EQ(rect.centerRefer(), (QelPoint{0.5, 0.5}));
    const QelFaceTrackRotationFilter rotation;
    EXPECT_EQ(rotation.rotate(), 20.0f);
    EXPECT_EQ(rotation.baseVec(), (QelVector3{0, 0, 1}));
    QelFaceTraceExpressionFilter expression;
    EXPECT_EQ(expression.level(), 0.6f);
    const std::vector<int32_t> defaults = {20, 21, 22, 23, 24, 27, 28, 33,
                                           34, 35, 36, 37, 38, 39, 43, 46};
    EXPECT_EQ(expression.checkIndexes(), defaults);
    expression.setCheckIndexes(std::vector<int32_t>{});
    EXPECT_TRUE(expression.checkIndexes().empty());
    expression.setCheckIndexes(std::nullopt);
    EXPECT_EQ(expression.checkIndexes(), defaults);

    const QelBuilderConfig config;
    EXPECT_EQ(config.buildAvatarTimeOut(), 10.0f);
    EXPECT_EQ(config.faceProcessBundlePath(), std::nullopt);
    EXPECT_EQ(config.buildAvatarMaxSize(), (QelSize{720, 1280}));
}

TEST_F(FaceCheckTest, ReadinessLoadsTheModelOrSaysWhy) {
    const auto frame = QelPixelBuffer::create(640, 480, QelPixelFormat32BGRA);
    struct Case {
        const char* what;
        std::optional<std::string> path;
        int64_t code;
        std::string message;
    } cases[] = {
        {"no path", std::nullopt, 10005,
         "请先调用: QelAIKit loadAIModeWithAIType:QELAITYPE_FACEPROCESSOR dataPath: "
         "面驱bundle路径，加载面驱功能"},
        {"empty path is tried", std::string(), 10006, "面驱bundle 加载失败"},
        {"missing file", path("none.bundle"), 10006, "面驱bundle 加载失败"},
        {"another kind of bundle", writeBundle("hair.bundle", "hair", "h"), 10006,
         "面驱bundle 加载失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QelBuilderConfig config;
        config.setFaceProcessBundlePath(c.path);
        kit->setBuildModel(config);
        const auto verdict = kit->traceFaceWithPiexelBuffer(frame, 0, {});
        EXPECT_FALSE(verdict->isCompliant());
        EXPECT_EQ(verdict->code(), c.code);
        EXPECT_EQ(verdict->message(), c.message);
        EXPECT_EQ(verdict->size(), (QelSize{0, 0}));
        EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
        EXPECT_EQ(standin::processedFrameCount(), 0u);
    }

    // A model loaded by anyone is used as it is, without a path.
    QelBuilderConfig withModel;
    withModel.setFaceProcessBundlePath(writeBundle("m.bundle", "face_processor", "m"));
    kit->setBuildModel(withModel);
    QelFaceTrackResultModel record;
    ASSERT_TRUE(kit->verifyFaceProcess(record, 3));
    EXPECT_EQ(standin::faceModelPath(), *withModel.faceProcessBundlePath());
    EXPECT_TRUE(QelAIKit::shareKit()->faceProcessorEnable());
    EXPECT_EQ(QelAIKit::shareKit()->faceProcessorDetectMode(), 3);
    EXPECT_EQ(record.code(), 0);
    kit->setBuildModel(QelBuilderConfig{});
    QelAIKit::shareKit()->setFaceProcessorEnable(false);
    EXPECT_TRUE(kit->verifyFaceProcess(record, 1));
    EXPECT_TRUE(QelAIKit::shareKit()->faceProcessorEnable());
    EXPECT_EQ(QelAIKit::shareKit()->faceProcessorDetectMode(), 1);
}

TEST_F(FaceCheckTest, MissingFramesAreReportedWithoutTouchingTheEngine) {
    const auto verdict = kit->traceFaceWithPiexelBuffer(nullptr, 0, allFilters());
    EXPECT_FALSE(verdict->isCompliant());
    EXPECT_EQ(verdict->code(), 10000);
    EXPECT_EQ(verdict->message(), kNoFace);
    EXPECT_EQ(verdict->size(), (QelSize{0, 0}));
    EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));

    QelImageBuffer noPlane;
    noPlane.width = 640;
    noPlane.height = 480;
    const auto image = kit->traceFaceWithImageBuffer(noPlane, 0, allFilters());
    EXPECT_EQ(image->code(), 10000);
    EXPECT_EQ(image->size(), (QelSize{0, 0}));
    EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
}

TEST_F(FaceCheckTest, EmptyFilterListAcceptsAnyFrame) {
    for (const FaceFrame& frame : {FaceFrame{}, FaceFrame{{faceAt(0, 0, 10, 10)}}}) {
        const auto verdict = check(frame, {});
        EXPECT_TRUE(verdict->isCompliant());
        EXPECT_EQ(verdict->code(), 0);
        EXPECT_EQ(verdict->message(), "完美");
        EXPECT_EQ(verdict->size(), (QelSize{1000, 1000}));
    }
}

TEST_F(FaceCheckTest, EachVerdictCodeWithAllFourFilters) {
    FaceData noRect = faceAt(300, 400, 500, 600);
    noRect.rect.reset();
    struct Case {
        const char* what;
        FaceFrame frame;
        int64_t code;
        const char* message;
    } cases[] = {
        {"centred frontal neutral face", {{faceAt(300, 400, 500, 600)}}, 0, "完美"},
        {"no face", {}, 10000, kNoFace},
        {"face without a rectangle", {{noRect}}, 10000, kNoFace},
        {"two faces",
         {{faceAt(300, 400, 500, 600), faceAt(0, 0, 10, 10)}},
         10001,
         "检测到多人脸，请保持 1 人"},
        {"turned head", {{turnedFace(30, {0, 1, 0})}}, 10002, "请保持正脸"},
        {"face off centre", {{faceAt(100, 400, 300, 600)}}, 10003, "请将人脸对准屏幕中央"},
        {"open mouth", {{expressive(neutralWith(24, 0.9f))}}, 10004, "请保持面部无夸张表情"},
    };
    const auto filters = allFilters();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto verdict = check(c.frame, filters);
        EXPECT_EQ(verdict->isCompliant(), c.code == 0);
        EXPECT_EQ(verdict->code(), c.code);
        EXPECT_EQ(verdict->message(), c.message);
        EXPECT_EQ(verdict->size(), (QelSize{1000, 1000}));
    }
}

TEST_F(FaceCheckTest, FiltersRunInOrderAndStopAtTheFirstFailure) {
    auto before = std::make_shared<SpyFilter>();
    auto after = std::make_shared<SpyFilter>();
    // Two faces, the first off centre and turned: only the single-face filter may speak.
    FaceFrame frame{{turnedFace(40, {0, 1, 0}), faceAt(0, 0, 10, 10)}};
    frame.faces[0].rect = std::array<float, 4>{0, 0, 100, 100};
    const auto verdict =
        check(frame, {before, nullptr, std::make_shared<QelFaceTracSingleFaceFilter>(),
                      std::make_shared<QelFaceTracRectFilter>(),
                      std::make_shared<QelFaceTrackRotationFilter>(), after});
    EXPECT_EQ(verdict->code(), 10001);
    EXPECT_FALSE(verdict->isCompliant());
    EXPECT_EQ(before->runs, 1);
    EXPECT_EQ(after->runs, 0);

    // The same face alone: now the centre filter, second in line, fails before the rotation.
    frame.faces.resize(1);
    EXPECT_EQ(check(frame, {std::make_shared<QelFaceTracSingleFaceFilter>(),
                            std::make_shared<QelFaceTracRectFilter>(),
                            std::make_shared<QelFaceTrackRotationFilter>()})
                  ->code(),
              10003);
    EXPECT_EQ(check(frame, {std::make_shared<QelFaceTrackRotationFilter>(),
                            std::make_shared<QelFaceTracRectFilter>()})
                  ->code(),
              10002);
}

TEST_F(FaceCheckTest, CentreFilterBounds) {
    struct Case {
        const char* what;
        std::array<float, 4> rect;
        bool passes;
    } cases[] = {
        {"x 300..500, y 400..600", {300, 400, 500, 600}, true},
        {"x 100..300", {100, 400, 300, 600}, false},
        {"y 100..300", {400, 100, 600, 300}, false},
        {"centre exactly at 0.35 of the width", {250, 400, 450, 600}, true},
        {"centre exactly at 0.65 of the height", {400, 550, 600, 750}, true},
        {"centre at 0.349", {249, 400, 449, 600}, false},
        {"centre at 0.651", {400, 551, 600, 751}, false},
        {"centre not a number", {std::numeric_limits<float>::quiet_NaN(), 400, 500, 600}, false},
    };
    auto filter = std::make_shared<QelFaceTracRectFilter>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto verdict = check({{FaceData::frontal(c.rect)}}, {filter});
        EXPECT_EQ(verdict->code(), c.passes ? 0 : 10003);
    }

    // A wider tolerance around another reference point.
    filter->setCenterRefer({0.8, 0.5});
    filter->setCenterScale(0.2f);
    EXPECT_EQ(check({{faceAt(100, 400, 300, 600)}}, {filter})->code(), 0);
    EXPECT_EQ(check({{faceAt(300, 400, 500, 600)}}, {filter})->code(), 10003);
}

TEST_F(FaceCheckTest, CentreFilterFailsAFrameWithoutSize) {
    auto filter = std::make_shared<QelFaceTracRectFilter>();
    // The face AI holds a centred face; the record claims a frame without a usable size.
    ASSERT_EQ(check({{faceAt(300, 400, 500, 600)}}, {filter})->code(), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const QelSize size : {QelSize{0, 0}, QelSize{0, 1000}, QelSize{1000, 0},
                               QelSize{-1000, -1000}, QelSize{nan, 1000}, QelSize{inf, 1000}}) {
        SCOPED_TRACE(::testing::PrintToString(size.width) + " x " +
                     ::testing::PrintToString(size.height));
        QelFaceTrackResultModel record;
        record.setSize(size);
        EXPECT_FALSE(filter->verifyFaceInfo(record));
        EXPECT_EQ(record.code(), 10003);
        EXPECT_EQ(record.message(), "请将人脸对准屏幕中央");
    }

    // The same through an image whose size is not a number.
    const uint8_t pixel[4] = {};
    QelImageBuffer image;
    image.plane0 = pixel;
    image.stride0 = 4;
    image.width = nan;
    image.height = 1000;
    EXPECT_EQ(kit->traceFaceWithImageBuffer(image, 0, {filter})->code(), 10003);
}

TEST_F(FaceCheckTest, RotationFilterAngles) {
    struct Case {
        const char* what;
        FaceData face;
        float rotate;
        QelVector3 base;
        int64_t code;
    } cases[] = {
        {"identity", faceAt(300, 400, 500, 600), 20, {0, 0, 1}, 0},
        {"30 degrees about y", turnedFace(30, {0, 1, 0}), 20, {0, 0, 1}, 10002},
        {"19 degrees about x", turnedFace(19, {1, 0, 0}), 20, {0, 0, 1}, 0},
        {"21 degrees about x", turnedFace(21, {1, 0, 0}), 20, {0, 0, 1}, 10002},
        {"30 degrees, non-unit quaternion", turnedFace(30, {0, 1, 0}, 3.0f), 20, {0, 0, 1}, 10002},
        {"30 degrees under a 35 degree limit", turnedFace(30, {0, 1, 0}), 35, {0, 0, 1}, 0},
        {"turn about the base vector itself", turnedFace(90, {0, 0, 1}), 20, {0, 0, 1}, 0},
        {"30 degrees about x, base along x", turnedFace(30, {1, 0, 0}), 20, {2, 0, 0}, 0},
        {"zero quaternion: no angle", turnedFace(0, {0, 0, 0}, 0.0f), 20, {0, 0, 1}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto filter = std::make_shared<QelFaceTrackRotationFilter>();
        filter->setRotate(c.rotate);
        filter->setBaseVec(c.base);
        const auto verdict = check({{c.face}}, {filter});
        EXPECT_EQ(verdict->code(), c.code);
        if (c.code) {
            EXPECT_EQ(verdict->message(), "请保持正脸");
        }
    }
    FaceData noRotation = faceAt(300, 400, 500, 600);
    noRotation.rotation.reset();
    EXPECT_EQ(check({{noRotation}}, {std::make_shared<QelFaceTrackRotationFilter>()})->code(),
              10000);
}

TEST_F(FaceCheckTest, ExpressionFilterCoefficients) {
    const float above = std::nextafter(0.6f, 1.0f);
    FaceData none = faceAt(300, 400, 500, 600);
    none.expression.reset();
    struct Case {
        const char* what;
        FaceData face;
        std::optional<std::vector<int32_t>> indexes;
        int64_t code;
    } cases[] = {
        {"neutral", faceAt(300, 400, 500, 600), std::nullopt, 0},
        {"no coefficients", none, std::nullopt, 10000},
        {"46 coefficients", expressive(std::vector<float>(46, 0.0f)), std::nullopt, 10000},
        {"48 coefficients", expressive(std::vector<float>(48, 0.0f)), std::nullopt, 10000},
        {"equal to the level", expressive(neutralWith(20, 0.6f)), std::nullopt, 0},
        {"just above the level", expressive(neutralWith(20, above)), std::nullopt, 10004},
        {"last default index", expressive(neutralWith(46, 1.0f)), std::nullopt, 10004},
        {"index not examined", expressive(neutralWith(25, 1.0f)), std::nullopt, 0},
        {"own index list", expressive(neutralWith(25, 1.0f)), std::vector<int32_t>{25}, 10004},
        {"empty index list", expressive(neutralWith(20, 1.0f)), std::vector<int32_t>{}, 0},
        {"indexes outside 0..46 skipped", expressive(neutralWith(0, 1.0f)),
         std::vector<int32_t>{-1, 47, 1000, std::numeric_limits<int32_t>::min()}, 0},
        {"valid index after skipped ones", expressive(neutralWith(0, 1.0f)),
         std::vector<int32_t>{-1, 47, 0}, 10004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto filter = std::make_shared<QelFaceTraceExpressionFilter>();
        filter->setCheckIndexes(c.indexes);
        const auto verdict = check({{c.face}}, {filter});
        EXPECT_EQ(verdict->code(), c.code);
        if (c.code == 10004) {
            EXPECT_EQ(verdict->message(), "请保持面部无夸张表情");
        }
    }

    auto lenient = std::make_shared<QelFaceTraceExpressionFilter>();
    lenient->setLevel(0.95f);
    EXPECT_EQ(check({{expressive(neutralWith(20, 0.9f))}}, {lenient})->code(), 0);
}

TEST_F(FaceCheckTest, ImageBuffersAreCheckedLikeCameraFrames) {
    standin::setFaceDataSource(standin::faceSequence({FaceFrame{{faceAt(120, 80, 200, 160)}}}));
    std::vector<uint8_t> pixels(320 * 240 * 4);
    QelImageBuffer image;
    image.plane0 = pixels.data();
    image.stride0 = 320 * 4;
    image.width = 320;
    image.height = 240;
    image.format = QelPixelFormat32RGBA;
    const auto verdict = kit->traceFaceWithImageBuffer(image, 2, allFilters());
    EXPECT_TRUE(verdict->isCompliant()) << verdict->code();
    EXPECT_EQ(verdict->size(), (QelSize{320, 240}));
    EXPECT_EQ(QelAIKit::shareKit()->faceProcessorDetectMode(), 2);

    // A frame the face AI refuses is logged; the filters then judge what the face AI holds.
    testing::SystemLogCapture log;
    image.width = 0;
    const auto refused = kit->traceFaceWithImageBuffer(image, 2, allFilters());
    EXPECT_THAT(log.lines(), ::testing::Contains("图片检测失败"));
    EXPECT_EQ(refused->code(), 10000);
    EXPECT_EQ(refused->size(), (QelSize{0, 240}));
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// 68 landmarks of a face whose eye lids open by `lidOpening` of the eye's width; the other
// points are spread out so that nothing else degenerates.
std::vector<float> landmarksWithEyes(float lidOpening) {
    std::vector<float> p(136);
    for (size_t i = 0; i < 68; ++i) {
        p[2 * i] = 400 + static_cast<float>(i % 10) * 20;
        p[2 * i + 1] = 400 + static_cast<float>(i / 10) * 20;
    }
    for (const size_t eye : {36, 42}) {
        const float x0 = eye == 36 ? 430 : 530, y = 480, w = 40, h = w * lidOpening;
        const float xs[6] = {x0, x0 + 13, x0 + 27, x0 + w, x0 + 27, x0 + 13};
        const float ys[6] = {y, y - h / 2, y - h / 2, y, y + h / 2, y + h / 2};
        for (size_t k = 0; k < 6; ++k) {
            p[2 * (eye + k)] = xs[k];
            p[2 * (eye + k) + 1] = ys[k];
        }
    }
    return p;
}

// A 1000 × 1000 RGBA frame of one grey, with a square face box 300 … 700 drawn in `face` grey,
// or as a black and white checkerboard when `face` is negative.
QelPixelBufferPtr pictureFrame(uint8_t background, int face) {
    auto frame = QelPixelBuffer::create(1000, 1000, QelPixelFormat32RGBA);
    auto* px = const_cast<uint8_t*>(frame->plane(0).baseAddress);
    for (size_t y = 0; y < 1000; ++y)
        for (size_t x = 0; x < 1000; ++x) {
            const bool inFace = x >= 300 && x < 700 && y >= 300 && y < 700;
            uint8_t v = background;
            if (inFace)
                v = face >= 0 ? static_cast<uint8_t>(face) : ((x / 4 + y / 4) % 2 ? 255 : 0);
            std::fill_n(px + (y * 1000 + x) * 4, 3, v);
            px[(y * 1000 + x) * 4 + 3] = 255;
        }
    return frame;
}

class NewFilterTest : public FaceCheckTest {
  protected:
    // Runs `filter` alone on `frame`, whose face AI reports one face at 300 … 700.
    int64_t judge(const QelTrackFaceFilterPtr& filter, const QelPixelBufferPtr& frame,
                  FaceData face = faceAt(300, 300, 700, 700)) {
        standin::setFaceDataSource(standin::faceSequence({FaceFrame{{std::move(face)}}}));
        return kit->traceFaceWithPiexelBuffer(frame, 0, {filter})->code();
    }
};

TEST_F(NewFilterTest, DefaultsAndSetters) {
    QelFaceTrackSharpnessFilter sharpness;
    EXPECT_EQ(sharpness.minSharpness(), 30.0f);
    QelFaceTrackExposureFilter exposure;
    EXPECT_EQ(exposure.darkLevel(), 60.0f);
    EXPECT_EQ(exposure.brightLevel(), 215.0f);
    EXPECT_EQ(exposure.backlightRatio(), 0.6f);
    QelFaceTrackSizeFilter size;
    EXPECT_EQ(size.minScale(), 0.25f);
    EXPECT_EQ(size.maxScale(), 0.8f);
    QelFaceTrackEyesOpenFilter eyes;
    EXPECT_EQ(eyes.minEyeAspectRatio(), 0.18f);
}

// The picture filters judge the pixels inside the face box against the whole frame.
TEST_F(NewFilterTest, PictureFiltersJudgeTheFaceBoxPixels) {
    auto sharpness = std::make_shared<QelFaceTrackSharpnessFilter>();
    auto exposure = std::make_shared<QelFaceTrackExposureFilter>();
    struct Case {
        const char* what;
        QelTrackFaceFilterPtr filter;
        uint8_t background;
        int face;
        int64_t code;
    } cases[] = {
        {"checkerboard is sharp", sharpness, 128, -1, 0},
        {"flat face is blurred", sharpness, 128, 128, 10007},
        {"mid grey is well lit", exposure, 128, 128, 0},
        {"dark face and frame", exposure, 40, 40, 10008},
        {"bright face and frame", exposure, 240, 240, 10009},
        {"dark face in a bright frame", exposure, 250, 70, 10010},
        {"bright face in a dark frame", exposure, 10, 200, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(judge(c.filter, pictureFrame(c.background, c.face)), c.code);
    }
    // Thresholds are properties.
    exposure->setDarkLevel(30);
    EXPECT_EQ(judge(exposure, pictureFrame(40, 40)), 0);
    sharpness->setMinSharpness(0);
    EXPECT_EQ(judge(sharpness, pictureFrame(128, 128)), 0);

    // No readable frame in the record, or a box outside the frame: nothing to judge.
    QelFaceTrackResultModel bare;
    bare.setSize({1000, 1000});
    EXPECT_FALSE(exposure->verifyFaceInfo(bare));
    EXPECT_EQ(bare.code(), 10000);
    EXPECT_EQ(judge(sharpness, pictureFrame(128, -1), faceAt(1200, 1200, 1300, 1300)), 10000);
}

TEST_F(NewFilterTest, SizeFilterBounds) {
    auto size = std::make_shared<QelFaceTrackSizeFilter>();
    const auto frame = QelPixelBuffer::create(1000, 2000, QelPixelFormat32BGRA);
    struct Case {
        float side;  // the box's longer side; the frame's shorter side is 1000
        int64_t code;
    } cases[] = {{249, 10011}, {250, 0}, {800, 0}, {801, 10012}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.side);
        EXPECT_EQ(judge(size, frame, faceAt(100, 100, 100 + c.side / 2, 100 + c.side)), c.code);
    }
    size->setMinScale(0.1f);
    EXPECT_EQ(judge(size, frame, faceAt(0, 0, 50, 150)), 0);
}

TEST_F(NewFilterTest, EyesOpenFilterReadsTheLandmarks) {
    auto eyes = std::make_shared<QelFaceTrackEyesOpenFilter>();
    const auto frame = QelPixelBuffer::create(1000, 1000, QelPixelFormat32BGRA);
    struct Case {
        const char* what;
        std::optional<std::vector<float>> landmarks;
        int64_t code;
    } cases[] = {
        {"open", landmarksWithEyes(0.3f), 0},
        {"just open", landmarksWithEyes(0.2f), 0},
        {"closed", landmarksWithEyes(0.1f), 10013},
        {"no landmarks", std::nullopt, 10000},
        {"five points", std::vector<float>(10, 1.0f), 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FaceData face = faceAt(300, 300, 700, 700);
        face.landmarks = c.landmarks;
        EXPECT_EQ(judge(eyes, frame, face), c.code);
    }
}

// The filters see the frame while they run; the verdict keeps none of it.
TEST_F(NewFilterTest, TheFrameIsTheFiltersOnlyDuringTheCheck) {
    struct FrameSpy : QelTrackFaceFilter {
        bool verifyFaceInfo(QelFaceTrackResultModel& info) override {
            seen = info.frame();
            return true;
        }
        QelPixelBufferPtr seen;
    };
    auto spy = std::make_shared<FrameSpy>();
    const auto frame = QelPixelBuffer::create(64, 48, QelPixelFormat32BGRA);
    const auto verdict = kit->traceFaceWithPiexelBuffer(frame, 0, {spy});
    EXPECT_EQ(spy->seen, frame);
    EXPECT_EQ(verdict->frame(), nullptr);
}

}  // namespace
}  // namespace velmora

// Face checks on real photographs: the stand-in's face AI looks at the pixels of two public-domain
// portraits and of variants made from them. Detection is the expensive part, so each frame is
// processed once for the whole suite and the cases read the cached results.
#include <gmock/gmock.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/render_kit.h"
#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"
#include "tests/support/image_fixtures.h"
#include "tests/support/photo_variants.h"
#include "tests/support/temp_dir.h"
#include "velmora/builder_kit.h"

namespace velmora {
namespace {

using testing::Photo;

constexpr const char* kModel = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

struct Euler {
    double yaw, pitch, roll;  // degrees: yaw about y (up), pitch about x (right), roll about z
};

Euler eulerOf(const std::array<float, 4>& q) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    constexpr double deg = 180 / 3.141592653589793;
    return {std::asin(std::clamp(2 * (w * y - z * x), -1.0, 1.0)) * deg,
            std::atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y)) * deg,
            std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)) * deg};
}

// What the checks saw in one frame: the faces, and each filter's verdict on its own.
struct Seen {
    int32_t faces = 0;
    std::vector<float> rect;
    std::optional<std::array<float, 4>> rotation;
    std::map<std::string, int64_t> codes;
};

std::vector<std::pair<std::string, QelTrackFaceFilterPtr>> allFilters() {
    return {{"single", std::make_shared<QelFaceTracSingleFaceFilter>()},
            {"centre", std::make_shared<QelFaceTracRectFilter>()},
            {"rotation", std::make_shared<QelFaceTrackRotationFilter>()},
            {"expression", std::make_shared<QelFaceTraceExpressionFilter>()},
            {"sharpness", std::make_shared<QelFaceTrackSharpnessFilter>()},
            {"exposure", std::make_shared<QelFaceTrackExposureFilter>()},
            {"size", std::make_shared<QelFaceTrackSizeFilter>()},
            {"eyes", std::make_shared<QelFaceTrackEyesOpenFilter>()}};
}

class PhotoCheckTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        standin::resetEngine();
        dir_ = new testing::TempDir;
        // The model is found through a face-processor bundle that names it, relative to the
        // bundle's directory.
        bundle_ = dir_->path() + "/models/face.bundle";
        std::filesystem::create_directories(dir_->path() + "/models");
        std::filesystem::create_symlink(kModel, dir_->path() + "/models/landmarks.dat");
        ASSERT_TRUE(standin::writeBundle(
            bundle_, {{"category", "face_processor"}, {"name", "face"}, {"model", "landmarks.dat"}},
            {1}));
        QelBuilderConfig config;
        config.setFaceProcessBundlePath(bundle_);
        kit_ = QelBuilderKit::setupWithConfig(config);
        seen_ = new std::map<std::string, Seen>;
        for (const char* name : {"grace_hopper.jpg", "astronaut.png"}) {
            const Photo p = testing::loadPhoto(std::string(VELMORA_FACE_FIXTURES) + "/" + name);
            const std::string key = std::string(name).substr(0, std::string(name).find('.'));
            photos()[key] = p;
            const auto w = static_cast<long>(p.width), h = static_cast<long>(p.height);
            const std::pair<const char*, Photo> variants[] = {
                {"original", p},
                {"mirrored", testing::mirrored(p)},
                {"turned+20", testing::turned(p, 20)},
                {"turned-20", testing::turned(p, -20)},
                {"blurred", testing::blurred(p, 3)},
                {"darkened", testing::lit(p, 0.25)},
                {"backlit", testing::backlit(p)},
                {"shifted",
                 testing::placed(testing::canvas(p.width, p.height, 128), p, w * 3 / 10, 0)},
                {"shrunk", testing::placed(testing::canvas(p.width, p.height, 128),
                                           testing::scaled(p, 0.5), w / 4, h / 4)},
                {"side by side", testing::sideBySide(p)},
                {"no face", testing::cropped(p, 0, p.height * 2 / 3, p.width, p.height)},
            };
            for (const auto& [variant, photo] : variants)
                (*seen_)[key + " " + variant] = check(photo.frame());
        }
    }

    static void TearDownTestSuite() {
        delete seen_;
        kit_.reset();
        delete dir_;
        photos().clear();
        standin::resetEngine();
    }

    // Processes one frame through the whole pipeline, then asks each filter on its own.
    static Seen check(const QelPixelBufferPtr& frame, int64_t detectMode = 0) {
        Seen s;
        const auto verdict = kit_->traceFaceWithPiexelBuffer(frame, detectMode, {});
        EXPECT_EQ(verdict->code(), 0) << "the model is ready";
        const auto ai = QelAIKit::shareKit();
        s.faces = ai->getFaceCount();
        if (auto rect = ai->getFaceRectWithIndex(0, false)) s.rect = *rect;
        s.rotation = ai->getFaceRotationWithIndex(0, false);
        for (const auto& [name, filter] : allFilters()) {
            QelFaceTrackResultModel record;
            record.setSize(
                {static_cast<double>(frame->width()), static_cast<double>(frame->height())});
            record.setFrame(frame);
            filter->verifyFaceInfo(record);
            s.codes[name] = record.code();
        }
        return s;
    }

    static const Seen& seen(const std::string& key) {
        const auto it = seen_->find(key);
        if (it == seen_->end()) throw std::out_of_range(key);
        return it->second;
    }

    static std::map<std::string, Photo>& photos() {
        static std::map<std::string, Photo> p;
        return p;
    }

    static inline testing::TempDir* dir_ = nullptr;
    static inline std::string bundle_;
    static inline std::shared_ptr<QelBuilderKit> kit_;
    static inline std::map<std::string, Seen>* seen_ = nullptr;
};

// Each filter's verdict on each variant, and the face count. Astronaut: her face is high in the
// frame, small (17 % of it) and smiling broadly, so the centre, size and expression filters fail
// even on the original; at half size or in a double-width frame it falls below what the detector
// finds at its working scale.
TEST_F(PhotoCheckTest, EachFilterJudgesEachVariant) {
    struct Row {
        const char* key;
        int32_t faces;
        // single, centre, rotation, expression, sharpness, exposure, size, eyes
        std::array<int64_t, 8> codes;
    };
    const Row rows[] = {
        {"grace_hopper original", 1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper mirrored", 1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper turned+20", 1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper turned-20", 1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper blurred", 1, {0, 0, 0, 0, 10007, 0, 0, 0}},
        {"grace_hopper darkened", 1, {0, 0, 0, 0, 0, 10008, 0, 0}},
        {"grace_hopper backlit", 1, {0, 0, 0, 0, 0, 10010, 0, 0}},
        {"grace_hopper shifted", 1, {0, 10003, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper shrunk", 1, {0, 0, 0, 0, 0, 0, 10011, 0}},
        {"grace_hopper side by side", 2, {10001, 10003, 0, 0, 0, 0, 0, 0}},
        {"grace_hopper no face", 0, {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000}},
        {"astronaut original", 1, {0, 10003, 0, 10004, 0, 0, 10011, 0}},
        {"astronaut mirrored", 1, {0, 10003, 0, 10004, 0, 0, 10011, 0}},
        {"astronaut turned+20", 1, {0, 10003, 0, 10004, 0, 0, 10011, 0}},
        {"astronaut turned-20", 1, {0, 10003, 0, 10004, 0, 0, 10011, 0}},
        {"astronaut blurred", 0, {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000}},
        {"astronaut darkened", 1, {0, 10003, 0, 10004, 0, 10008, 10011, 0}},
        {"astronaut backlit", 1, {0, 10003, 0, 10004, 0, 10010, 10011, 0}},
        {"astronaut shifted", 1, {0, 10003, 0, 10004, 0, 0, 10011, 0}},
        {"astronaut shrunk", 0, {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000}},
        {"astronaut side by side", 0, {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000}},
        {"astronaut no face", 0, {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000}},
    };
    const char* names[] = {"single",    "centre",   "rotation", "expression",
                           "sharpness", "exposure", "size",     "eyes"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        const Seen& s = seen(row.key);
        EXPECT_EQ(s.faces, row.faces);
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(s.codes.at(names[i]), row.codes[i]) << names[i];
    }
}

// Boxes measured once by hand on the photographs (brows to chin, cheek to cheek), and how the
// found boxes move with the picture.
TEST_F(PhotoCheckTest, FaceBoxesAreWhereTheFacesAre) {
    const struct {
        const char* key;
        std::array<float, 4> box;
    } hand[] = {
        {"grace_hopper original", {170, 150, 360, 335}},
        {"astronaut original", {180, 85, 270, 180}},
    };
    for (const auto& h : hand) {
        SCOPED_TRACE(h.key);
        const auto& rect = seen(h.key).rect;
        ASSERT_EQ(rect.size(), 4u);
        const float tolerance = 0.15f * (h.box[2] - h.box[0]);
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(rect[i], h.box[i], tolerance) << i;
    }
    for (const char* photo : {"grace_hopper", "astronaut"}) {
        SCOPED_TRACE(photo);
        const auto& original = seen(std::string(photo) + " original").rect;
        const auto& mirror = seen(std::string(photo) + " mirrored").rect;
        const auto& shifted = seen(std::string(photo) + " shifted").rect;
        const auto width = static_cast<float>(photos().at(photo).width);
        ASSERT_EQ(mirror.size(), 4u);
        ASSERT_EQ(shifted.size(), 4u);
        // The detector's boxes snap to its grid of 8-pixel cells.
        EXPECT_NEAR(mirror[0], width - original[2], 12);
        EXPECT_NEAR(mirror[2], width - original[0], 12);
        const float shift = std::floor(width * 3 / 10);
        EXPECT_NEAR(shifted[0], original[0] + shift, 12);
        EXPECT_NEAR(shifted[2], original[2] + shift, 12);
        EXPECT_NEAR(shifted[1], original[1], 12);
    }
}

// The head rotation follows an in-plane turn of the picture, and a mirror negates the yaw.
TEST_F(PhotoCheckTest, PoseFollowsTurnsAndMirrors) {
    for (const char* photo : {"grace_hopper", "astronaut"}) {
        SCOPED_TRACE(photo);
        const std::string p = photo;
        const auto original = seen(p + " original").rotation;
        ASSERT_TRUE(original);
        const Euler o = eulerOf(*original);
        for (const auto& [variant, turn] : {std::pair{"turned+20", 20.0}, {"turned-20", -20.0}}) {
            const auto r = seen(p + " " + variant).rotation;
            ASSERT_TRUE(r) << variant;
            EXPECT_NEAR(eulerOf(*r).roll - o.roll, turn, 4.0) << variant;
        }
        const auto mirrored = seen(p + " mirrored").rotation;
        ASSERT_TRUE(mirrored);
        EXPECT_NEAR(eulerOf(*mirrored).yaw, -o.yaw, 3.0);
        EXPECT_NEAR(eulerOf(*mirrored).roll, -o.roll, 4.0);
    }
}

// Every pixel format of camera frames, and image buffers, show the same face.
TEST_F(PhotoCheckTest, EveryFrameFormatShowsTheSameFace) {
    const Photo& p = photos().at("grace_hopper");
    const auto& expected = seen("grace_hopper original").rect;
    ASSERT_EQ(expected.size(), 4u);

    // 4:2:0 frames: luma from the colours (video range or full), then half-size chroma.
    const auto yuv = [&](uint32_t format) {
        auto frame = QelPixelBuffer::create(p.width, p.height, format);
        auto* y = const_cast<uint8_t*>(frame->plane(0).baseAddress);
        const bool video = format == QelPixelFormat420YpCbCr8BiPlanarVideoRange;
        for (size_t row = 0; row < p.height; ++row)
            for (size_t x = 0; x < p.width; ++x) {
                const uint8_t* c = p.at(x, row);
                const double luma = 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
                y[row * p.width + x] =
                    static_cast<uint8_t>(std::lround(video ? 16 + luma * 219 / 255 : luma));
            }
        auto* cbcr = const_cast<uint8_t*>(frame->plane(1).baseAddress);
        std::fill_n(cbcr, frame->plane(1).bytesPerRow * frame->plane(1).height, uint8_t{128});
        return QelPixelBufferPtr(frame);
    };
    const std::pair<const char*, QelPixelBufferPtr> frames[] = {
        {"BGRA", p.frame(QelPixelFormat32BGRA)},
        {"420f", yuv(QelPixelFormat420YpCbCr8BiPlanarFullRange)},
        {"420v", yuv(QelPixelFormat420YpCbCr8BiPlanarVideoRange)},
    };
    for (const auto& [name, frame] : frames) {
        SCOPED_TRACE(name);
        const Seen s = check(frame);
        EXPECT_EQ(s.faces, 1);
        ASSERT_EQ(s.rect.size(), 4u);
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(s.rect[i], expected[i], 6) << i;
        EXPECT_EQ(s.codes.at("sharpness"), 0);
        EXPECT_EQ(s.codes.at("exposure"), 0);
    }

    // An image buffer with a padded stride; the filters read its planes during the check only.
    const size_t stride = p.width * 4 + 64;
    std::vector<uint8_t> padded(stride * p.height, 0);
    for (size_t row = 0; row < p.height; ++row)
        std::copy_n(p.at(0, row), p.width * 4, &padded[row * stride]);
    QelImageBuffer image;
    image.plane0 = padded.data();
    image.stride0 = stride;
    image.width = static_cast<double>(p.width);
    image.height = static_cast<double>(p.height);
    image.format = QelPixelFormat32RGBA;
    const auto verdict = kit_->traceFaceWithImageBuffer(
        image, 0,
        {std::make_shared<QelFaceTracSingleFaceFilter>(),
         std::make_shared<QelFaceTrackSharpnessFilter>(),
         std::make_shared<QelFaceTrackExposureFilter>(), std::make_shared<QelFaceTrackSizeFilter>(),
         std::make_shared<QelFaceTrackEyesOpenFilter>()});
    EXPECT_EQ(verdict->code(), 0) << verdict->message();
    EXPECT_TRUE(verdict->isCompliant());
    EXPECT_EQ(verdict->frame(), nullptr) << "the image's planes are not kept";
}

// In video mode the face is followed from frame to frame and detected again only every 30
// frames or when it is lost (a slow drift may lose it once); a frame without the face loses it
// at once.
TEST_F(PhotoCheckTest, VideoFollowsAMovingFace) {
    const Photo& p = photos().at("grace_hopper");
    const auto& still = seen("grace_hopper original").rect;
    ASSERT_EQ(still.size(), 4u);
    const uint64_t before = standin::faceDetectionCount();
    constexpr int kFrames = 40;
    for (int i = 0; i < kFrames; ++i) {
        const long dx = i * 2 - 40;  // 2 pixels a frame, left to right
        const Seen s =
            check(testing::placed(testing::canvas(p.width, p.height, 128), p, dx, 0).frame(), 1);
        ASSERT_EQ(s.faces, 1) << "frame " << i;
        // The box's centre moves with the face, within an eighth of the face.
        const float tolerance = (still[2] - still[0]) / 8;
        EXPECT_NEAR((s.rect[0] + s.rect[2]) / 2, (still[0] + still[2]) / 2 + static_cast<float>(dx),
                    tolerance)
            << "frame " << i;
        EXPECT_NEAR((s.rect[1] + s.rect[3]) / 2, (still[1] + still[3]) / 2, tolerance)
            << "frame " << i;
    }
    const uint64_t detections = standin::faceDetectionCount() - before;
    EXPECT_GE(detections, 2u) << "frames 0 and 30 at least";
    EXPECT_LE(detections, 3u);

    const Seen gone = check(testing::canvas(p.width, p.height, 128).frame(), 1);
    EXPECT_EQ(gone.faces, 0);
    EXPECT_EQ(standin::faceDetectionCount() - before, detections + 1);
    const Seen back = check(p.frame(), 1);
    EXPECT_EQ(back.faces, 1);
    EXPECT_EQ(standin::faceDetectionCount() - before, detections + 2);
}

// Frames no face AI should choke on: a clear verdict, never a crash.
TEST_F(PhotoCheckTest, HostileFramesGiveAClearVerdict) {
    const auto single =
        std::vector<QelTrackFaceFilterPtr>{std::make_shared<QelFaceTracSingleFaceFilter>(),
                                           std::make_shared<QelFaceTrackSharpnessFilter>()};
    const std::vector<uint8_t> noise = testing::noiseRGB(640, 480, 4);
    auto noiseOwner = std::make_shared<std::vector<uint8_t>>(noise);
    const std::pair<const char*, QelPixelBufferPtr> frames[] = {
        {"0 x 0", QelPixelBuffer::create(0, 0, QelPixelFormat32BGRA)},
        {"1 x 100000", QelPixelBuffer::create(1, 100000, QelPixelFormat32BGRA)},
        {"100000 x 1",
         QelPixelBuffer::create(100000, 1, QelPixelFormat420YpCbCr8BiPlanarFullRange)},
        {"garbage pixels",
         std::make_shared<QelPixelBuffer>(
             640, 480, QelPixelFormat32RGBA,
             std::vector<QelPixelPlane>{{noiseOwner->data(), 640 * 4, 640, 480}}, noiseOwner)},
        {"unknown format", QelPixelBuffer::create(640, 480, 0x61626364)},
        {"rows shorter than the width",
         std::make_shared<QelPixelBuffer>(
             640, 480, QelPixelFormat32RGBA,
             std::vector<QelPixelPlane>{{noiseOwner->data(), 100, 640, 480}}, noiseOwner)},
        {"no planes", std::make_shared<QelPixelBuffer>(640, 480, QelPixelFormat32BGRA,
                                                       std::vector<QelPixelPlane>{})},
    };
    for (const auto& [name, frame] : frames) {
        SCOPED_TRACE(name);
        const auto verdict = kit_->traceFaceWithPiexelBuffer(frame, 0, single);
        EXPECT_FALSE(verdict->isCompliant());
        EXPECT_EQ(verdict->code(), 10000);
        EXPECT_EQ(QelAIKit::shareKit()->getFaceCount(), 0);
    }
    QelImageBuffer nan;
    nan.plane0 = noise.data();
    nan.stride0 = 640 * 4;
    nan.width = std::nan("");
    nan.height = 480;
    nan.format = QelPixelFormat32RGBA;
    EXPECT_EQ(kit_->traceFaceWithImageBuffer(nan, 0, single)->code(), 10000);
}

}  // namespace
}  // namespace velmora

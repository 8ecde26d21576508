#include <gmock/gmock.h>

#include <cmath>
#include <fstream>

#include "engine/render_kit.h"
#include "engine_fixture.h"

namespace velmora {
namespace {

using standin::FaceData;
using standin::FaceFrame;

class FaceAITest : public testing::EngineTest {
  protected:
    std::string writeModel() { return writeBundle("models/face.bundle", "face_processor", "face"); }

    void loadAndEnable() {
        ASSERT_TRUE(QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, writeModel()));
        QelAIKit::shareKit()->setFaceProcessorEnable(true);
    }

    static QelAIProcessorInput frame(size_t w = 640, size_t h = 480) {
        QelAIProcessorInput input;
        input.setPixelBuffer(QelPixelBuffer::create(w, h, QelPixelFormat32BGRA));
        return input;
    }
};

TEST_F(FaceAITest, ModelLoadsOnlyFromAFaceProcessorBundle) {
    EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
    struct Case {
        const char* what;
        int32_t type;
        std::string path;
    } failures[] = {
        {"missing file", QELAITYPE_FACEPROCESSOR, path("none.bundle")},
        {"not a bundle", QELAITYPE_FACEPROCESSOR, writeFile("plain.bundle", "plain")},
        {"other category", QELAITYPE_FACEPROCESSOR, writeBundle("hair.bundle", "hair", "h")},
        {"empty path", QELAITYPE_FACEPROCESSOR, ""},
        {"other type", 1, writeModel()},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(QelAIKit::loadAIModeWithAIType(c.type, c.path));
        EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
    }
    const std::string model = writeModel();
    EXPECT_TRUE(QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, model));
    EXPECT_TRUE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
    EXPECT_FALSE(QelAIKit::loadedAIType(1));
    EXPECT_EQ(standin::faceModelPath(), model);
    // A failed load later keeps the model that is loaded.
    EXPECT_FALSE(QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, path("none")));
    EXPECT_TRUE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
}

// A landmark model is the model file itself or named by a face-processor bundle ("model",
// relative to the bundle); whatever is wrong with it, the load fails and nothing is loaded.
TEST_F(FaceAITest, DamagedOrMissingLandmarkModelsFailToLoad) {
    const std::string real = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
    std::ifstream in(real, std::ios::binary);
    std::string head(2u << 20, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(head.size())) << "libdlib-data installed";
    const std::string truncated = writeFile("models/truncated.dat", head);
    const std::string photo = std::string(VELMORA_FACE_FIXTURES) + "/astronaut.png";
    const auto naming = [&](const std::string& name, const Json& model) {
        return standin::writeBundle(
                   path("models/" + name),
                   {{"category", "face_processor"}, {"name", "f"}, {"model", model}}, {1})
                   ? path("models/" + name)
                   : std::string();
    };
    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"truncated model file", truncated},
        {"a photograph as the model", photo},
        {"an empty file", writeFile("models/empty.dat", "")},
        {"bundle naming a missing file", naming("missing.bundle", "nothing.dat")},
        {"bundle naming a truncated file", naming("truncated.bundle", "truncated.dat")},
        {"bundle naming a photograph", naming("photo.bundle", photo)},
        {"bundle naming no text", naming("number.bundle", 5)},
        {"bundle naming a directory", naming("dir.bundle", ".")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, c.path));
        EXPECT_FALSE(QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR));
    }
}

// Landmarks made by projecting a face turned by known angles give those angles back; the
// signs follow x right, y up, z towards the camera.
TEST_F(FaceAITest, HeadPoseComesFromTheLandmarks) {
    // A face of its own (millimetres, nose tip at the origin), not the solver's generic one.
    const std::pair<size_t, std::array<double, 3>> face[] = {
        {27, {0, 38, -18}},   {30, {0, 0, 0}},     {33, {0, -12, -10}}, {36, {-46, 35, -30}},
        {39, {-16, 34, -20}}, {42, {16, 34, -20}}, {45, {46, 35, -30}}, {8, {0, -70, -20}},
    };
    const auto project = [&](double yawDeg, double pitchDeg, double rollDeg) {
        const double y = yawDeg * M_PI / 180, p = pitchDeg * M_PI / 180, r = rollDeg * M_PI / 180;
        std::vector<float> points(136, 0.0f);
        for (const auto& [index, m] : face) {
            // Roll about z, then pitch about x, then yaw about y.
            double x = m[0] * std::cos(r) - m[1] * std::sin(r);
            double v = m[0] * std::sin(r) + m[1] * std::cos(r);
            double z = m[2];
            const double v2 = v * std::cos(p) - z * std::sin(p);
            z = v * std::sin(p) + z * std::cos(p);
            v = v2;
            const double x2 = x * std::cos(y) + z * std::sin(y);
            z = -x * std::sin(y) + z * std::cos(y);
            x = x2;
            const double depth = 600 - z;  // the camera 600 mm in front of the nose
            points[2 * index] = static_cast<float>(320 + 640 * x / depth);
            points[2 * index + 1] = static_cast<float>(240 - 640 * v / depth);
        }
        return points;
    };
    const struct {
        double yaw, pitch, roll;
    } poses[] = {{0, 0, 0},   {25, 0, 0}, {-25, 0, 0},  {0, 15, 0},
                 {0, -15, 0}, {0, 0, 20}, {15, 10, -10}};
    for (const auto& pose : poses) {
        SCOPED_TRACE(::testing::Message() << pose.yaw << " " << pose.pitch << " " << pose.roll);
        const auto q =
            standin::poseFromLandmarks(project(pose.yaw, pose.pitch, pose.roll), 640, 480);
        ASSERT_TRUE(q);
        const double x = (*q)[0], y = (*q)[1], z = (*q)[2], w = (*q)[3];
        EXPECT_NEAR(x * x + y * y + z * z + w * w, 1.0, 1e-4);
        const double deg = 180 / M_PI;
        EXPECT_NEAR(std::asin(std::clamp(2 * (w * y - z * x), -1.0, 1.0)) * deg, pose.yaw, 4);
        EXPECT_NEAR(std::atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y)) * deg, pose.pitch, 4);
        EXPECT_NEAR(std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)) * deg, pose.roll, 4);
    }
    EXPECT_FALSE(standin::poseFromLandmarks(std::vector<float>(10, 1.0f), 640, 480));
    std::vector<float> nan = project(0, 0, 0);
    nan[60] = std::nanf("");
    EXPECT_FALSE(standin::poseFromLandmarks(nan, 640, 480));
    EXPECT_FALSE(standin::poseFromLandmarks(project(0, 0, 0), 0, 480));
}

TEST_F(FaceAITest, SettingsAreKeptOnTheSharedKit) {
    auto kit = QelAIKit::shareKit();
    EXPECT_EQ(kit, QelAIKit::shareKit());
    EXPECT_FALSE(kit->faceProcessorEnable());
    EXPECT_EQ(kit->faceProcessorDetectMode(), 0);
    kit->setFaceProcessorEnable(true);
    kit->setFaceProcessorDetectMode(2);
    EXPECT_TRUE(QelAIKit::shareKit()->faceProcessorEnable());
    EXPECT_EQ(QelAIKit::shareKit()->faceProcessorDetectMode(), 2);
}

TEST_F(FaceAITest, FramesAreProcessedOnlyWhenReady) {
    const FaceFrame oneFace{{FaceData::frontal({10, 10, 50, 50})}};
    standin::setFaceDataSource(standin::faceSequence({oneFace}));
    auto kit = QelAIKit::shareKit();

    EXPECT_EQ(QelAIKit::processWithInput(frame()), 0) << "no model";
    ASSERT_TRUE(QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, writeModel()));
    EXPECT_EQ(QelAIKit::processWithInput(frame()), 0) << "not enabled";
    kit->setFaceProcessorEnable(true);

    EXPECT_EQ(QelAIKit::processWithInput(QelAIProcessorInput{}), 0) << "empty input";
    QelAIProcessorInput noPlane;
    noPlane.setImageBuffer(QelImageBuffer{});
    EXPECT_EQ(QelAIKit::processWithInput(noPlane), 0) << "image without planes";
    EXPECT_EQ(kit->getFaceCount(), 0);
    EXPECT_EQ(standin::processedFrameCount(), 0u);

    EXPECT_EQ(QelAIKit::processWithInput(frame()), 1);
    EXPECT_EQ(kit->getFaceCount(), 1);

    // A frame that fails leaves no face behind from the one before.
    EXPECT_EQ(QelAIKit::processWithInput(QelAIProcessorInput{}), 0);
    EXPECT_EQ(kit->getFaceCount(), 0);
    EXPECT_EQ(kit->getFaceRectWithIndex(0, false), std::nullopt);
}

TEST_F(FaceAITest, EachProcessedFrameTakesItsOwnFaceData) {
    loadAndEnable();
    auto kit = QelAIKit::shareKit();
    kit->setFaceProcessorDetectMode(1);

    FaceData turned = FaceData::frontal({100, 200, 300, 400});
    turned.rotation = std::array<float, 4>{0.0f, 0.258819f, 0.0f, 0.965926f};
    FaceData partial;  // a face the AI found but could not measure
    partial.rect = std::array<float, 4>{1, 2, 3, 4};
    partial.expression = std::vector<float>(46, 0.5f);

    std::vector<standin::FrameInfo> seen;
    auto sequence = standin::faceSequence(
        {FaceFrame{}, FaceFrame{{turned}}, FaceFrame{{partial, FaceData::frontal({0, 0, 1, 1})}}});
    standin::setFaceDataSource([&](const standin::FrameInfo& info) {
        seen.push_back(info);
        return sequence(info);
    });

    ASSERT_EQ(QelAIKit::processWithInput(frame()), 1);
    EXPECT_EQ(kit->getFaceCount(), 0);
    int32_t count = -1;
    EXPECT_EQ(kit->getFaceExpressionWithIndex(0, false, count), std::nullopt);
    EXPECT_EQ(count, 0);

    QelImageBuffer image;
    const uint8_t pixels[4] = {};
    image.plane0 = pixels;
    image.width = 1000;
    image.height = 800;
    image.format = QelPixelFormat32RGBA;
    QelAIProcessorInput imageInput;
    imageInput.setImageBuffer(image);
    ASSERT_EQ(QelAIKit::processWithInput(imageInput), 1);
    EXPECT_EQ(kit->getFaceCount(), 1);
    EXPECT_EQ(kit->getFaceRectWithIndex(0, false), (std::vector<float>{100, 200, 300, 400}));
    EXPECT_EQ(kit->getFaceRotationWithIndex(0, false),
              (std::array<float, 4>{0.0f, 0.258819f, 0.0f, 0.965926f}));
    auto expression = kit->getFaceExpressionWithIndex(0, false, count);
    ASSERT_TRUE(expression);
    EXPECT_EQ(count, 47);
    EXPECT_EQ(expression->size(), 47u);

    ASSERT_EQ(QelAIKit::processWithInput(frame(320, 240)), 1);
    EXPECT_EQ(kit->getFaceCount(), 2);
    EXPECT_EQ(kit->getFaceRotationWithIndex(0, false), std::nullopt);
    ASSERT_TRUE(kit->getFaceExpressionWithIndex(0, false, count));
    EXPECT_EQ(count, 46);
    EXPECT_TRUE(kit->getFaceRectWithIndex(1, false));
    EXPECT_EQ(kit->getFaceRectWithIndex(2, false), std::nullopt);
    EXPECT_EQ(kit->getFaceRectWithIndex(-1, false), std::nullopt);

    // The last frame of a sequence repeats.
    ASSERT_EQ(QelAIKit::processWithInput(frame()), 1);
    EXPECT_EQ(kit->getFaceCount(), 2);

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1].width, 1000);
    EXPECT_EQ(seen[1].height, 800);
    EXPECT_EQ(seen[1].format, QelPixelFormat32RGBA);
    EXPECT_EQ(seen[2].width, 320);
    EXPECT_EQ(seen[2].format, QelPixelFormat32BGRA);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].index, i);
        EXPECT_EQ(seen[i].detectMode, 1);
    }
    EXPECT_EQ(standin::processedFrameCount(), 4u);
}

TEST_F(FaceAITest, FaceScriptsDescribeFrames) {
    auto frames = standin::faceFramesFromJson(Json::parse(R"({"frames": [
        {"faces": []},
        {"faces": [{"rect": [1, 2, 3, 4], "rotation": [0, 0, 0, 1], "expression": [0.5, 0.25]}]},
        {"faces": [{"rect": [5, 6, 7, 8]}, {"landmarks": [1, 2, 3, 4]}]},
        {}
    ]})"));
    ASSERT_TRUE(frames);
    ASSERT_EQ(frames->size(), 4u);
    EXPECT_TRUE((*frames)[0].faces.empty());
    const auto& face = (*frames)[1].faces.at(0);
    EXPECT_EQ(face.rect, (std::array<float, 4>{1, 2, 3, 4}));
    EXPECT_EQ(face.expression, (std::vector<float>{0.5f, 0.25f}));
    ASSERT_EQ((*frames)[2].faces.size(), 2u);
    EXPECT_FALSE((*frames)[2].faces[0].rotation);
    EXPECT_FALSE((*frames)[2].faces[1].rect);
    EXPECT_EQ((*frames)[2].faces[1].landmarks, (std::vector<float>{1, 2, 3, 4}));
    EXPECT_TRUE((*frames)[3].faces.empty());

    for (const char* bad :
         {R"([])", R"({"frames": {}})", R"({"frames": [{"faces": [{"rect": [1, 2, 3]}]}]})",
          R"({"frames": [{"faces": [{"expression": ["a"]}]}]})", R"({"frames": [1]})",
          R"({"frames": [{"faces": [{"landmarks": [1, 2, 3]}]}]})"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(standin::faceFramesFromJson(Json::parse(bad)));
    }
}

}  // namespace
}  // namespace velmora

#include <gmock/gmock.h>

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
        {"faces": [{"rect": [5, 6, 7, 8]}, {}]},
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
    EXPECT_TRUE((*frames)[3].faces.empty());

    for (const char* bad :
         {R"([])", R"({"frames": {}})", R"({"frames": [{"faces": [{"rect": [1, 2, 3]}]}]})",
          R"({"frames": [{"faces": [{"expression": ["a"]}]}]})", R"({"frames": [1]})"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(standin::faceFramesFromJson(Json::parse(bad)));
    }
}

}  // namespace
}  // namespace velmora

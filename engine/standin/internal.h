#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/render_kit.h"
#include "engine/standin/face_vision.h"
#include "engine/standin/standin.h"
#include "velmora/json.h"

namespace velmora::standin {

struct DefaultEntry {
    std::string category;
    std::string fileId;
};
using DefaultSet = std::vector<DefaultEntry>;

/// The default set avatars complete themselves with: the one read last by checkDefaultJson.
void setActiveDefaultSet(std::shared_ptr<const DefaultSet> set);
std::shared_ptr<const DefaultSet> activeDefaultSet();

/// The meta object of a bundle, or an absent value when the file has no readable meta.
Json bundleMetaObject(const std::string& path);

/// The "category" member of a meta object, or "".
std::string metaCategory(const Json& meta);

}  // namespace velmora::standin

namespace velmora {

struct QelItem::Impl {
    std::string path;
    std::string name;
    std::string fileId;
    std::string category;
};

struct QelAvatar::Impl {
    mutable std::mutex mutex;
    std::string configPath;
    std::string graphPath;
    std::string logicPath;
    Json gender = absentJson();
    std::vector<std::string> bundleList;
    std::map<std::string, QelColor> colors;
    std::map<std::string, double> deformations;
    std::vector<standin::ComponentInfo> components;
    Json extras = Json::object();  // description members the stand-in does not interpret
};

struct QelAvatarCheck::Impl {
    mutable std::mutex mutex;
    std::shared_ptr<const standin::DefaultSet> defaults;
    std::vector<std::string> loadedPaths;
};

struct QelAIProcessorInput::Impl {
    QelPixelBufferPtr pixelBuffer;
    std::optional<QelImageBuffer> imageBuffer;
};

struct QelAIKit::Impl {
    mutable std::mutex mutex;
    std::string modelPath;  // empty: not loaded
    bool enable = false;
    int64_t detectMode = 0;
    standin::FaceDataSource source;
    std::shared_ptr<standin::FaceTracker> tracker;  // none: the model sees no pixels
    std::mutex visionMutex;                         // one frame through the tracker at a time
    uint64_t frameIndex = 0;
    standin::FaceFrame frame;
};

}  // namespace velmora

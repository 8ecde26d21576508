#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/render_kit.h"
#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"
#include "platform/dispatch.h"
#include "tests/support/temp_dir.h"
#include "velmora/avatar_helper.h"
#include "velmora/cloud_service.h"
#include "velmora/json.h"

namespace velmora::test {

/// The shared avatar helper pointed at engine files that exist, and a reset engine; undone after.
class EngineFiles {
  public:
    EngineFiles() {
        QelAvatarHelper::destroy();
        standin::resetEngine();
        auto helper = QelAvatarHelper::shareHelper();
        helper->setControllerConfigPath(write("controller.json", "{}"));
        helper->setAnimationGraphPath(write("graph.json", "{}"));
        helper->setAnimationLogicPath(write("logic.json", "{}"));
    }
    ~EngineFiles() {
        QelAvatarHelper::destroy();
        standin::resetEngine();
    }
    EngineFiles(const EngineFiles&) = delete;
    EngineFiles& operator=(const EngineFiles&) = delete;

    /// Makes the default set of the engine from a default JSON file.
    void setDefaults(const Json& defaultList) {
        auto helper = QelAvatarHelper::shareHelper();
        helper->setDefaultJsonPath(
            write("default.json", Json{{"default_list", defaultList}}.dump()));
        ASSERT_TRUE(helper->avatarCheck());
    }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string path = dir_ / name;
        velmora::testing::writeFile(path, content);
        return path;
    }

  private:
    velmora::testing::TempDir dir_;
};

/// An avatar directory `root/name` holding `avatar.json` with the description.
inline std::string makeAvatarDir(const std::string& root, const std::string& name,
                                 const Json& description) {
    const std::string dir = root + "/" + name;
    std::filesystem::create_directories(dir);
    velmora::testing::writeFile(dir + "/avatar.json", description.dump());
    return dir;
}

/// A usable stand-in bundle at `path` (directories made).
inline void writeBundleFile(const std::string& path, const std::string& category,
                            const std::string& name) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(standin::writeBundle(path, {{"category", category}, {"name", name}}, {7, 7, 7}));
}

/// One callback's outcome with the progress texts that came before it. The completion must come
/// once: a second call sets the promise twice and aborts the test binary.
template <typename Outcome>
class CallbackProbe {
  public:
    std::function<void(const std::string&)> progress() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        };
    }
    std::function<void(const Outcome&)> completion() {
        return [this](const Outcome& outcome) {
            onMainQueue_ = dispatch::isMainQueue();
            thread_ = std::this_thread::get_id();
            promise_.set_value(outcome);
        };
    }
    /// Waits (generously: a download under load) for the completion.
    Outcome wait() {
        if (future_.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            throw std::runtime_error("the completion was never called");
        return future_.get();
    }
    /// True once the completion has run.
    bool done() const {
        return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    bool onMainQueue() const { return onMainQueue_; }
    std::thread::id thread() const { return thread_; }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    bool onMainQueue_ = false;
    std::thread::id thread_;
    std::promise<Outcome> promise_;
    std::shared_future<Outcome> future_ = promise_.get_future().share();
};

using ResultProbe = CallbackProbe<QelDownloadResultModel>;
using ErrorProbe = CallbackProbe<QelErrorPtr>;

/// The file ids of a result's success models, in order.
inline std::vector<std::string> fileIdsOf(const QelDownloadResultModel& result) {
    std::vector<std::string> ids;
    for (const auto& model : result.successFileModels()) ids.push_back(model.fileId());
    return ids;
}

}  // namespace velmora::test

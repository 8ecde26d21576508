#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cloud_emulator.h"
#include "tests/support/temp_dir.h"
#include "velmora/cloud_service.h"
#include "velmora/platform.h"

namespace velmora::test {

/// What a download completion delivered, and where.
struct DownloadOutcome {
    QelErrorPtr error;
    std::vector<std::string> successFileIds;
    std::vector<std::string> failFileIds;
    bool onMainQueue = false;
};

/// Collects one download's progress texts and its completion. A second completion call would
/// set the promise twice and abort the test binary, so "exactly once" is checked by every use.
class DownloadProbe {
  public:
    QelCloudService::ProgressBlock progress() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        };
    }
    QelCloudService::DownloadCompletion completion() {
        return [this](const QelErrorPtr& error, const std::vector<std::string>& success,
                      const std::vector<std::string>& fail) {
            DownloadOutcome outcome{error, success, fail, dispatch::isMainQueue()};
            {
                std::lock_guard lock(mutex_);
                textsAtCompletion_ = texts_.size();
            }
            promise_.set_value(std::move(outcome));
        };
    }
    /// Waits (generously) for the completion.
    DownloadOutcome wait() {
        if (future_.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            throw std::runtime_error("the download completion was never called");
        return future_.get();
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    /// Progress texts that had arrived when the completion ran.
    size_t textsAtCompletion() const {
        std::lock_guard lock(mutex_);
        return textsAtCompletion_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    size_t textsAtCompletion_ = 0;
    std::promise<DownloadOutcome> promise_;
    std::future<DownloadOutcome> future_ = promise_.get_future();
};

/// The SDK's cloud configuration for an emulator.
inline QelCloudServiceConfig configFor(const CloudEmulator& emulator) {
    QelCloudServiceConfig config;
    config.setApiKey(emulator.apiKey());
    config.setApiSecret(emulator.apiSecret());
    config.setAppid(emulator.appid());
    config.setApiBasePath(emulator.baseUrl());
    return config;
}

/// A new shared service in place of the old one, as a new process would make it.
inline std::shared_ptr<QelCloudService> freshSharedService(const QelCloudServiceConfig& config,
                                                           const std::string& root) {
    QelCloudService::destroy();
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, root);
    return service;
}

/// The emulator's current item list document, as the item list fetch keeps it: {"list": [...]}.
inline Json itemListOf(const CloudEmulator& emulator) {
    const Json query = emulator
                           .get("/api/items/v3/app/query?token=" + emulator.fetchToken() +
                                "&appid=" + emulator.appid())
                           .json();
    auto project = QelProjectJsonModel::createWithData(query["data"]);
    return Json{{"list", emulator.get(project->itemListUrl()).json()["list"]}};
}

/// A fresh shared service per test, set up with the suite's emulator and a temporary root.
class CloudServiceTest : public CloudEmulatorTest {
  protected:
    void SetUp() override {
        CloudEmulatorTest::SetUp();
        QelCloudService::destroy();
        service = QelCloudService::sharedService();
        config = configFor(emulator());
        service->setupWithConfig(config, root.path());
    }
    void TearDown() override {
        service.reset();
        QelCloudService::destroy();
    }

    /// The current item list document from the emulator, as the item list fetch keeps it:
    /// {"list": [...]}.
    Json currentItemList() const { return itemListOf(emulator()); }

    /// Feeds the store with the emulator's current item list and saves it.
    Json installItemList() {
        Json list = currentItemList();
        service->updateResourceStoreWithItemListDic(list);
        return list;
    }

    std::string itemPath(const std::string& fileId) const { return root.path() + "/" + fileId; }

    /// Waits, within a bound, until the journal holds `count` requests ending with `suffix`.
    void awaitRequests(const std::string& suffix, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (emulator().requests(suffix).size() < count) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << suffix << " x" << count;
            std::this_thread::yield();
        }
    }

    velmora::testing::TempDir root;
    QelCloudServiceConfig config;
    std::shared_ptr<QelCloudService> service;
};

/// Waits for a token completion.
struct TokenProbe {
    std::promise<std::pair<QelErrorPtr, std::optional<std::string>>> promise;
    QelCloudService::TokenCompletion completion() {
        return [this](const QelErrorPtr& e, const std::optional<std::string>& t) {
            promise.set_value({e, t});
        };
    }
    std::pair<QelErrorPtr, std::optional<std::string>> wait() {
        auto future = promise.get_future();
        if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            throw std::runtime_error("the token completion was never called");
        return future.get();
    }
};

}  // namespace velmora::test

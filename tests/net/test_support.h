#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velmora/networking.h"

namespace velmora::testing {

/// Collects what a request's callbacks deliver and lets the test wait for it.
class Outcome {
  public:
    QelNetworking::SuccessBlock success() {
        return [this](const Json& value) {
            std::lock_guard lock(mutex_);
            ++successes_;
            value_ = value;
            thread_ = std::this_thread::get_id();
            cv_.notify_all();
        };
    }
    QelNetworking::FailureBlock failure() {
        return [this](const QelErrorPtr& error) {
            std::lock_guard lock(mutex_);
            ++failures_;
            error_ = error;
            thread_ = std::this_thread::get_id();
            cv_.notify_all();
        };
    }
    QelNetworking::DownloadSuccessBlock fileSuccess() {
        return [this](const std::string& fileURL) {
            std::lock_guard lock(mutex_);
            ++successes_;
            fileURL_ = fileURL;
            events_.push_back("success");
            cv_.notify_all();
        };
    }
    QelNetworking::ProgressBlock progress() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            events_.push_back(text);
        };
    }
    QelNetworking::FailureBlock fileFailure() {
        return [this](const QelErrorPtr& error) {
            std::lock_guard lock(mutex_);
            ++failures_;
            error_ = error;
            events_.push_back("failure");
            cv_.notify_all();
        };
    }

    /// True when at least `count` callbacks arrived in time.
    bool wait(int count = 1, std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return successes_ + failures_ >= count; });
    }

    int successes() {
        std::lock_guard lock(mutex_);
        return successes_;
    }
    int failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    Json value() {
        std::lock_guard lock(mutex_);
        return value_;
    }
    QelErrorPtr error() {
        std::lock_guard lock(mutex_);
        return error_;
    }
    std::string fileURL() {
        std::lock_guard lock(mutex_);
        return fileURL_;
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::thread::id thread() {
        std::lock_guard lock(mutex_);
        return thread_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int successes_ = 0;
    int failures_ = 0;
    Json value_ = absentJson();
    QelErrorPtr error_;
    std::string fileURL_;
    std::vector<std::string> events_;
    std::thread::id thread_;
};

/// Polls until the condition holds or the time is up. The bound only turns a hang into a
/// failure; nothing waits for it when the condition comes true.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// Counts events from any thread; the test waits, within a bound, for a number of them.
class Counter {
  public:
    void add() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    bool waitFor(int count, std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return count_ >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

/// Lets go of `http` and of the shared instance, then waits until that instance is gone. Every
/// request's completion holds the instance that issued it, so once it is gone no callback of its
/// requests can still arrive: what the test saw until then is all there will be. Tasks the test
/// kept must be let go first.
inline bool settle(std::shared_ptr<QelNetworking>& http) {
    std::weak_ptr<QelNetworking> weak = http;
    http.reset();
    QelNetworking::destroy();
    return eventually([&] { return weak.expired(); });
}

}  // namespace velmora::testing

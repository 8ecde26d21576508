#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "velmora/cloud_service.h"
#include "velmora/error.h"
#include "velmora/networking.h"

// What a measured child process prints for its parent (see child_process.h): lines on standard
// output, written at once so that none is lost when the child ends with _Exit.
namespace velmora::testing {

inline void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)::write(STDOUT_FILENO, text.data(), text.size());
}

/// How many completions `report` has printed.
inline std::atomic<int>& completionsReported() {
    static std::atomic<int> count{0};
    return count;
}

/// "completion CODE MESSAGE" ("none" for no error), the message's head on one line: the parent
/// checks its start, never its whole length.
inline void report(const QelErrorPtr& error) {
    std::string message = error ? error->localizedDescription().substr(0, 300) : "";
    for (char& c : message) {
        if (c == '\n') c = ' ';
    }
    say("completion " + (error ? std::to_string(error->code()) : std::string("none")) + " " +
        message);
    // Counted only once written: the main thread may print its last lines and exit at once.
    ++completionsReported();
}

/// The shared cloud service, set up from five arguments: API base path, key, secret, appid and
/// download root.
inline std::shared_ptr<QelCloudService> setUpService(const char* const* arguments) {
    QelCloudServiceConfig config;
    config.setApiBasePath(arguments[0]);
    config.setApiKey(arguments[1]);
    config.setApiSecret(arguments[2]);
    config.setAppid(arguments[3]);
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, std::string(arguments[4]));
    return service;
}

/// True once a completion was reported and no request is left whose callbacks could report
/// another; false after two minutes.
inline bool waitUntilSettled() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        if (completionsReported().load() > 0 &&
            QelNetworking::sharedInstance()->tasksArray().empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace velmora::testing

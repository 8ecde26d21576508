#pragma once

// What the server's parts share: the answer type, the cloud's codes and the server's state.

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/cloud-emulator/faults.h"
#include "tools/cloud-emulator/project.h"
#include "tools/cloud-emulator/server.h"

namespace velmora::emulator {

// Answer codes of the emulated cloud (the README lists them for host developers).
inline constexpr int64_t kOk = 0;
inline constexpr int64_t kTokenMissing = 100000;
inline constexpr int64_t kTokenInvalid = 100101;
inline constexpr int64_t kUnknownKey = 100102;
inline constexpr int64_t kStaleTimestamp = 100103;
inline constexpr int64_t kBadSignature = 100104;
inline constexpr int64_t kBadRequest = 100400;
inline constexpr int64_t kNotFound = 100404;
inline constexpr int64_t kMethodNotAllowed = 100405;
inline constexpr int64_t kTooLarge = 100413;
inline constexpr int64_t kInternal = 100500;
inline constexpr int64_t kUnknownAppid = 110001;
inline constexpr int64_t kTaskRunning = 120004;
inline constexpr int64_t kUnknownTask = 120404;
inline constexpr int64_t kUnknownAvatar = 130404;

struct Reply {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    std::optional<std::filesystem::path> file;
    httplib::Headers headers;
};

Reply envelope(int status, int64_t code, const std::string& message, Json data = nullptr);
Reply success(Json data);
Reply badRequest(const std::string& message);

std::string httpDate(std::time_t when = std::time(nullptr));

// The library hands handlers a const request; the few places that must adjust it (raw body
// reading, range normalisation) go through here.
inline httplib::Request& adjustable(const httplib::Request& req) {
    return const_cast<httplib::Request&>(req);
}

struct Server::Impl {
    Impl(Project& p, ServerOptions o);

    Project& project;
    ServerOptions options;
    httplib::Server http;
    int port = -1;
    std::string requestPrefix;
    std::atomic<uint64_t> requestCounter{0};
    std::atomic<int> listener{-1};
    std::atomic<uint64_t> bodyBytesSent{0};  // of every answer, for benchmarks
    FaultRules faults;

    std::mutex mutex;                       // guards everything below
    std::map<std::string, int64_t> tokens;  // token -> expiry in ms
    std::deque<Json> records;
    double taskSeconds;
    int64_t tokenTtlSeconds;
    std::string filesBaseUrl;
    // Held answers wait for the next release (or the stop) after half their body.
    std::condition_variable releasedHeld;
    uint64_t releases = 0;
    bool stopping = false;

    // The request pipeline (server.cpp).
    void setUp();
    void serve(const httplib::Request& req, httplib::Response& res,
               const httplib::ContentReader* reader);
    Reply route(const httplib::Request& req, const std::string& body);
    std::string nextRequestId();
    Reply bodyTooLarge() const;
    std::string baseUrl(const httplib::Request& req) const;
    /// Where answers name files: the files base URL when one is set, else `baseUrl`.
    std::string filesBase(const httplib::Request& req);
    /// A JSON body read within the limits the SDK reads answers with; a refusal is a 400.
    std::optional<Reply> readJson(std::string_view text, Json& out) const;
    /// Ends every token's life now; answers how many were still alive.
    size_t expireTokens();

    // The cloud API (api.cpp).
    Reply api(const std::string& endpoint, const httplib::Request& req, const std::string& body);
    std::optional<Reply> checkToken(const httplib::Request& req);
    Reply issueToken(const std::string& body);

    // The admin API and its journal (admin.cpp).
    Reply admin(const httplib::Request& req, const std::string& body);
    void record(const httplib::Request& req, const std::string& id, std::string_view body);
    Json state();

    // Files and answer bodies (files.cpp).
    Reply files(const httplib::Request& req);
    Reply fileReply(const httplib::Request& req, const std::filesystem::path& file,
                    const std::string& type);
    /// `heldAt`: the release count a held answer waits to see change (absent: not held).
    void emit(const httplib::Request& req, httplib::Response& res, Reply reply, const Effects& fx,
              std::optional<uint64_t> heldAt = std::nullopt);
    uint64_t releaseCount();
    void releaseHeld(bool stop = false);
    void waitForRelease(uint64_t heldAt);
};

}  // namespace velmora::emulator

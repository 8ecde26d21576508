#pragma once

// Fault rules: what a test asks the server to do wrong, and which requests it applies to.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/cloud-emulator/project.h"

namespace velmora::emulator {

/// What a rule does to the answers it matches.
struct FaultActions {
    std::optional<int64_t> retryAfter;
    std::optional<int64_t> delayMs;
    std::optional<int> status;
    std::optional<int64_t> code;
    std::optional<std::string> message;  // goes with `code`
    std::optional<Json> body;
    std::optional<std::string> rawBody;
    bool drop = false;
    bool truncate = false;
    bool corrupt = false;
    bool hold = false;
    bool expireTokens = false;
    std::optional<int64_t> throttleBps;
};

struct FaultRule : FaultActions {
    int64_t id = 0;
    std::string path;
    std::string method;
    std::optional<int64_t> remaining;  // absent: every matching request
    int64_t applied = 0;
    std::optional<int64_t> every;  // applies to every Nth matching request only
    int64_t matched = 0;

    Json toJson() const {
        Json j = {{"id", id}, {"path", path}, {"applied", applied}};
        if (!method.empty()) j["method"] = method;
        if (every) j["every"] = *every;
        if (retryAfter) j["retry_after"] = *retryAfter;
        j["remaining"] = remaining ? Json(*remaining) : Json(nullptr);
        if (delayMs) j["delay_ms"] = *delayMs;
        if (status) j["status"] = *status;
        if (code) j["code"] = *code;
        if (message) j["message"] = *message;
        if (body) j["body"] = *body;
        if (rawBody) j["raw_body"] = *rawBody;
        if (drop) j["drop"] = true;
        if (truncate) j["truncate"] = true;
        if (corrupt) j["corrupt"] = true;
        if (hold) j["hold"] = true;
        if (expireTokens) j["expire_tokens"] = true;
        if (throttleBps) j["throttle_bps"] = *throttleBps;
        return j;
    }
};

// What the matching rules of one request do together; a later rule wins where two disagree.
struct Effects : FaultActions {
    std::vector<int64_t> ruleIds;
};

/// The rules of a POST /_emulator/faults body: one rule, an array of rules, or {"rules": [...]}.
/// Absent, with `error` set, when any rule is refused.
std::optional<std::vector<FaultRule>> parseRules(const Json& body, std::string& error);

/// The rules in force, in the order they were added.
class FaultRules {
  public:
    /// Numbers the rules and adds them; answers them as the admin API lists them.
    Json add(std::vector<FaultRule> rules);
    Json list() const;
    /// Removes every rule; answers how many there were.
    size_t clear();
    /// The effects of every rule that matches, each counting the request; spent rules leave.
    Effects match(const std::string& method, const std::string& path);

  private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
    int64_t nextId_ = 1;
};

/// Shuts the connection between two local ports down without an answer.
void dropConnection(int localPort, int remotePort);
/// Ends the reading side of every connection to `localPort`: an idle keep-alive connection closes
/// at once instead of after its time-out, and an answer being written still completes.
void endIdleConnections(int localPort);

}  // namespace velmora::emulator

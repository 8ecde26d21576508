// Fault rules: reading them strictly, matching requests, and dropping connections.
#include "tools/cloud-emulator/faults.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/cloud-emulator/text.h"

namespace velmora::emulator {

namespace {

// Reads one rule, refusing unknown members and wrong types so that a mistyped rule in a test
// fails loudly instead of silently never matching.
std::optional<FaultRule> parseRule(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "a fault rule must be a JSON object";
        return std::nullopt;
    }
    FaultRule rule;
    bool acts = false;
    for (const auto& [key, value] : j.items()) {
        auto need = [&](bool ok, const char* what) {
            if (!ok) error = "fault rule member \"" + key + "\" must be " + what;
            return ok;
        };
        if (key == "path") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.path = value.get<std::string>();
        } else if (key == "method") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.method = value.get<std::string>();
        } else if (key == "count") {
            if (value.is_null()) continue;
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0,
                      "a positive integer or null"))
                return std::nullopt;
            rule.remaining = value.get<int64_t>();
        } else if (key == "every") {
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0, "a positive integer"))
                return std::nullopt;
            rule.every = value.get<int64_t>();
        } else if (key == "retry_after") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 0,
                      "a non-negative integer"))
                return std::nullopt;
            rule.retryAfter = value.get<int64_t>();
            acts = true;
        } else if (key == "delay_ms") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 0,
                      "a non-negative integer"))
                return std::nullopt;
            rule.delayMs = value.get<int64_t>();
            acts = true;
        } else if (key == "status") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 200 &&
                          value.get<int64_t>() <= 599,
                      "an HTTP status from 200 to 599"))
                return std::nullopt;
            rule.status = value.get<int>();
            acts = true;
        } else if (key == "code") {
            if (!need(value.is_number_integer(), "an integer")) return std::nullopt;
            rule.code = value.get<int64_t>();
            acts = true;
        } else if (key == "message") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.message = value.get<std::string>();
        } else if (key == "body") {
            rule.body = value;
            acts = true;
        } else if (key == "raw_body") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.rawBody = value.get<std::string>();
            acts = true;
        } else if (key == "drop" || key == "truncate" || key == "corrupt" || key == "hold" ||
                   key == "expire_tokens") {
            if (!need(value.is_boolean(), "a boolean")) return std::nullopt;
            bool on = value.get<bool>();
            (key == "drop"       ? rule.drop
             : key == "truncate" ? rule.truncate
             : key == "corrupt"  ? rule.corrupt
             : key == "hold"     ? rule.hold
                                 : rule.expireTokens) = on;
            acts = acts || on;
        } else if (key == "throttle_bps") {
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0, "a positive integer"))
                return std::nullopt;
            rule.throttleBps = value.get<int64_t>();
            acts = true;
        } else {
            error = "unknown fault rule member \"" + key + "\"";
            return std::nullopt;
        }
    }
    if (rule.message && !rule.code) {
        error = "fault rule member \"message\" needs \"code\"";
        return std::nullopt;
    }
    if (!acts) {
        error = "a fault rule needs at least one effect";
        return std::nullopt;
    }
    return rule;
}

}  // namespace

std::optional<std::vector<FaultRule>> parseRules(const Json& body, std::string& error) {
    Json items = body.is_array()                                ? body
                 : (body.is_object() && body.contains("rules")) ? body["rules"]
                                                                : Json::array({body});
    if (!items.is_array()) {
        error = "member rules must be an array";
        return std::nullopt;
    }
    std::vector<FaultRule> parsed;
    for (const auto& item : items) {
        auto rule = parseRule(item, error);
        if (!rule) return std::nullopt;
        parsed.push_back(std::move(*rule));
    }
    return parsed;
}

Json FaultRules::add(std::vector<FaultRule> rules) {
    Json added = Json::array();
    std::lock_guard lock(mutex_);
    for (auto& rule : rules) {
        rule.id = nextId_++;
        added.push_back(rule.toJson());
        rules_.push_back(std::move(rule));
    }
    return added;
}

Json FaultRules::list() const {
    Json list = Json::array();
    std::lock_guard lock(mutex_);
    for (const auto& r : rules_) list.push_back(r.toJson());
    return list;
}

size_t FaultRules::clear() {
    std::lock_guard lock(mutex_);
    const size_t n = rules_.size();
    rules_.clear();
    return n;
}

Effects FaultRules::match(const std::string& method, const std::string& path) {
    Effects fx;
    std::lock_guard lock(mutex_);
    for (auto& rule : rules_) {
        if (rule.remaining && *rule.remaining <= 0) continue;
        if (!endsWith(path, rule.path)) continue;
        if (!rule.method.empty() && lower(rule.method) != lower(method)) continue;
        if (rule.every && ++rule.matched % *rule.every != 0) continue;
        if (rule.remaining) --*rule.remaining;
        ++rule.applied;
        fx.ruleIds.push_back(rule.id);
        if (rule.delayMs) fx.delayMs = *rule.delayMs;
        if (rule.status) fx.status = *rule.status;
        if (rule.code) {
            fx.code = *rule.code;
            fx.message = rule.message;
        }
        if (rule.body) fx.body = *rule.body;
        if (rule.rawBody) fx.rawBody = *rule.rawBody;
        fx.drop = fx.drop || rule.drop;
        fx.truncate = fx.truncate || rule.truncate;
        fx.corrupt = fx.corrupt || rule.corrupt;
        fx.hold = fx.hold || rule.hold;
        fx.expireTokens = fx.expireTokens || rule.expireTokens;
        if (rule.throttleBps) fx.throttleBps = *rule.throttleBps;
        if (rule.retryAfter) fx.retryAfter = *rule.retryAfter;
    }
    std::erase_if(rules_, [](const FaultRule& r) { return r.remaining && *r.remaining <= 0; });
    return fx;
}

// Connections are found by their port numbers among this process's descriptors and shut down;
// the library then fails its next read or write and closes the descriptor itself. The scan only
// reads other descriptors' addresses, so it goes through raw system calls that race detectors do
// not count as uses of those descriptors (a concurrent close of one of them is harmless here).
namespace {

int portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// Shuts down (`how`) every connected socket on `localPort`, or only the one from `remotePort`.
void shutDownConnections(int localPort, std::optional<int> remotePort, int how) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        const long fd = std::atol(entry->d_name);
        if (fd < 0 || entry->d_name[0] == '.') continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (syscall(SYS_getsockname, fd, &local, &localLen) != 0 ||
            syscall(SYS_getpeername, fd, &peer, &peerLen) != 0)
            continue;
        if (portOf(local) != localPort || (remotePort && portOf(peer) != *remotePort)) continue;
        syscall(SYS_shutdown, fd, how);
        if (remotePort) break;
    }
    closedir(dir);
}

}  // namespace

void dropConnection(int localPort, int remotePort) {
    shutDownConnections(localPort, remotePort, SHUT_RDWR);
}

void endIdleConnections(int localPort) {
    shutDownConnections(localPort, std::nullopt, SHUT_RD);
}

}  // namespace velmora::emulator

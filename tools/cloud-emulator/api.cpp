// The cloud API below /api/: tokens, configuration, avatars, generation tasks, resources.
#include <openssl/crypto.h>

#include <regex>

#include "tools/cloud-emulator/digest.h"
#include "tools/cloud-emulator/multipart.h"
#include "tools/cloud-emulator/server_impl.h"

namespace velmora::emulator {

namespace {

constexpr int64_t kClockWindowMs = 5 * 60 * 1000;

struct Endpoint {
    const char* path;
    const char* method;
};

constexpr Endpoint kEndpoints[] = {
    {"user/token/key", "POST"},
    {"items/v3/app/query", "GET"},
    {"items/v3/app/centre-config", "GET"},
    {"items/v3/avatar/query", "GET"},
    {"items/v3/avatar/create", "POST"},
    {"v1/orv/upload", "POST"},
    {"v1/orv/download", "POST"},
    {"items/v3/resource/list", "POST"},
};

}  // namespace

std::optional<Reply> Server::Impl::checkToken(const httplib::Request& req) {
    std::string token = req.get_param_value("token");
    if (token.empty()) return envelope(401, kTokenMissing, "token is missing");
    std::lock_guard lock(mutex);
    auto it = tokens.find(token);
    if (it == tokens.end()) return envelope(401, kTokenInvalid, "token is unknown");
    if (it->second <= nowMs()) return envelope(401, kTokenInvalid, "token has expired");
    return std::nullopt;
}

Reply Server::Impl::issueToken(const std::string& body) {
    Json request;
    if (auto refused = readJson(body, request)) return *refused;
    if (!request.is_object()) return badRequest("the JSON body must be an object");
    for (const char* member : {"key", "timestamp", "signature"}) {
        if (!request.contains(member)) return badRequest(std::string("missing member ") + member);
    }
    if (!request["key"].is_string()) return badRequest("member key must be a string");
    if (!request["timestamp"].is_number_integer())
        return badRequest("member timestamp must be an integer number of milliseconds");
    if (!request["signature"].is_string()) return badRequest("member signature must be a string");

    const Credentials creds = project.credentials();
    const std::string key = request["key"].get<std::string>();
    if (key != creds.apiKey) return envelope(401, kUnknownKey, "unknown api key");
    const std::string timestamp = request["timestamp"].dump();
    const int64_t stamp = request["timestamp"].get<int64_t>();
    const int64_t now = nowMs();
    if (stamp < now - kClockWindowMs || stamp > now + kClockWindowMs)
        return envelope(401, kStaleTimestamp,
                        "timestamp is not within 5 minutes of the server clock");
    const std::string expected = hmacHex(creds.apiSecret, "key=" + key + "&timestamp=" + timestamp);
    const std::string given = request["signature"].get<std::string>();
    if (given.size() != expected.size() ||
        CRYPTO_memcmp(given.data(), expected.data(), expected.size()) != 0)
        return envelope(401, kBadSignature, "signature does not match");

    const std::string token = randomHex(16);
    std::lock_guard lock(mutex);
    tokens[token] = now + tokenTtlSeconds * 1000;
    return success({{"token", token}, {"expires_in", tokenTtlSeconds}});
}

Reply Server::Impl::api(const std::string& endpoint, const httplib::Request& req,
                        const std::string& body) {
    const Endpoint* known = nullptr;
    for (const auto& e : kEndpoints) {
        if (endpoint == e.path) known = &e;
    }
    if (!known) return envelope(404, kNotFound, "no such endpoint: " + endpoint);
    if (req.method != known->method)
        return envelope(405, kMethodNotAllowed,
                        endpoint + " takes " + known->method + ", not " + req.method);
    if (endpoint == "user/token/key") return issueToken(body);
    if (auto refused = checkToken(req)) return *refused;

    const std::string base = filesBase(req);
    auto requireParam = [&](const char* name) -> std::optional<Reply> {
        if (req.get_param_value(name).empty())
            return badRequest(std::string("missing parameter ") + name);
        return std::nullopt;
    };
    auto jsonBody = [&](Json& out) -> std::optional<Reply> {
        if (auto refused = readJson(body, out)) return *refused;
        if (!out.is_object()) return badRequest("the JSON body must be an object");
        return std::nullopt;
    };
    auto formBody = [&](FormParseResult& out) -> std::optional<Reply> {
        std::string boundary = multipartBoundary(req.get_header_value("Content-Type"));
        if (boundary.empty())
            return badRequest("expected a multipart/form-data body with a boundary");
        out = parseMultipart(body, boundary);
        if (!out.ok()) return badRequest("malformed multipart body: " + out.error);
        return std::nullopt;
    };

    if (endpoint == "items/v3/app/query" || endpoint == "items/v3/app/centre-config") {
        if (auto bad = requireParam("appid")) return *bad;
        if (req.get_param_value("appid") != project.credentials().appid)
            return envelope(403, kUnknownAppid, "unknown appid");
        return success(endpoint == "items/v3/app/query" ? project.projectConfig(base)
                                                        : project.uiConfig());
    }
    if (endpoint == "items/v3/avatar/query") {
        if (auto bad = requireParam("avatarid")) return *bad;
        auto answer = project.avatarAnswer(req.get_param_value("avatarid"), base);
        if (!answer) return envelope(404, kUnknownAvatar, "no such avatar");
        return success(*answer);
    }
    if (endpoint == "items/v3/avatar/create") {
        FormParseResult form;
        if (auto bad = formBody(form)) return *bad;
        const FormPart* icon = form.find("icon_full");
        const FormPart* data = form.find("data");
        if (!icon) return badRequest("missing form part icon_full");
        if (!data) return badRequest("missing form part data");
        if (!looksLikePicture(icon->data)) return badRequest("form part icon_full is no picture");
        Json description;
        if (auto refused = readJson(data->data, description)) return *refused;
        if (!description.is_object()) return badRequest("form part data must hold a JSON object");
        return success({{"avatar_id", project.createAvatar(description, icon->data)}});
    }
    if (endpoint == "v1/orv/upload") {
        FormParseResult form;
        if (auto bad = formBody(form)) return *bad;
        const FormPart* image = form.find("image");
        const FormPart* version = form.find("version");
        const FormPart* gender = form.find("gender");
        if (!image) return badRequest("missing form part image");
        if (!version || version->data.empty()) return badRequest("missing form part version");
        if (!gender) return badRequest("missing form part gender");
        if (image->data.empty()) return badRequest("form part image is empty");
        if (!looksLikePicture(image->data)) return badRequest("form part image is no picture");
        static const std::regex integer(R"(^-?[0-9]{1,18}$)");
        if (!std::regex_match(gender->data, integer))
            return badRequest("form part gender must be a decimal integer");
        const int64_t now = nowMs();
        double seconds;
        {
            std::lock_guard lock(mutex);
            seconds = taskSeconds;
        }
        Task task = project.createTask(image->data, std::stoll(gender->data), now,
                                       now + static_cast<int64_t>(seconds * 1000.0));
        return success({{"taskid", task.id}});
    }
    if (endpoint == "v1/orv/download") {
        Json request;
        if (auto bad = jsonBody(request)) return *bad;
        if (!request.contains("taskid") || !request["taskid"].is_string() ||
            request["taskid"].get<std::string>().empty())
            return badRequest("member taskid must be a non-empty string");
        auto task = project.task(request["taskid"].get<std::string>());
        if (!task) return envelope(404, kUnknownTask, "no such task");
        if (nowMs() < task->readyMs) return envelope(200, kTaskRunning, "task is still running");
        return success(task->result);
    }
    // items/v3/resource/list
    Json request;
    if (auto bad = jsonBody(request)) return *bad;
    if (!request.contains("resourceids") || !request["resourceids"].is_array())
        return badRequest("member resourceids must be an array");
    std::vector<std::string> ids;
    for (const auto& id : request["resourceids"]) {
        if (!id.is_string()) return badRequest("member resourceids must hold strings");
        ids.push_back(id.get<std::string>());
    }
    if (ids.empty()) return badRequest("member resourceids is empty");
    return success({{"resource_list", project.resourceList(ids, base)}});
}

}  // namespace velmora::emulator

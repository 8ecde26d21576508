// The admin API below /_emulator/ and the request journal it reads.
#include "tools/cloud-emulator/digest.h"
#include "tools/cloud-emulator/server_impl.h"
#include "tools/cloud-emulator/text.h"

namespace velmora::emulator {

namespace {

constexpr size_t kMaxRecords = 100000;

std::optional<std::string> filesBaseSetting(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    return filesBaseUrlSetting(value.get<std::string>());
}

}  // namespace

void Server::Impl::record(const httplib::Request& req, const std::string& id,
                          std::string_view body) {
    Json headers = Json::object();
    for (const auto& [name, value] : req.headers) {
        std::string key = lower(name);
        if (key == "remote_addr" || key == "remote_port" || key == "local_addr" ||
            key == "local_port")
            continue;  // the library's own bookkeeping, not sent by the client
        if (headers.contains(key)) {
            headers[key] = headers[key].get<std::string>() + ", " + value;
        } else {
            headers[key] = value;
        }
    }
    Json entry = {{"id", id},
                  {"time_ms", nowMs()},
                  {"method", req.method},
                  {"path", req.target},
                  {"headers", headers},
                  {"body_size", body.size()},
                  {"body_base64", base64(body)}};
    std::lock_guard lock(mutex);
    records.push_back(std::move(entry));
    if (records.size() > kMaxRecords) records.pop_front();
}

Json Server::Impl::state() {
    Json tokenList = Json::array();
    double seconds;
    int64_t ttl;
    std::string filesBase;
    {
        std::lock_guard lock(mutex);
        const int64_t now = nowMs();
        for (const auto& [token, expiry] : tokens)
            tokenList.push_back(
                {{"token", token}, {"expires_ms", expiry}, {"expired", expiry <= now}});
        seconds = taskSeconds;
        ttl = tokenTtlSeconds;
        filesBase = filesBaseUrl;
    }
    Json taskList = Json::array();
    const int64_t now = nowMs();
    for (const auto& t : project.tasks()) {
        taskList.push_back({{"taskid", t.id},
                            {"gender", t.gender},
                            {"created_ms", t.createdMs},
                            {"ready_ms", t.readyMs},
                            {"done", now >= t.readyMs},
                            {"photo_digest", t.photoDigest}});
    }
    Json avatars = Json::array();
    for (const auto& id : project.avatarIds()) avatars.push_back(id);
    return {
        {"tokens", tokenList},
        {"tasks", taskList},
        {"avatars", avatars},
        {"item_list_version", project.itemListVersion()},
        {"body_bytes_sent", bodyBytesSent.load()},
        {"settings",
         {{"task_seconds", seconds}, {"token_ttl_seconds", ttl}, {"files_base_url", filesBase}}}};
}

Reply Server::Impl::admin(const httplib::Request& req, const std::string& body) {
    const std::string what = req.path.substr(std::string("/_emulator/").size());
    const std::string& method = req.method;
    if (what == "requests" && method == "GET") {
        const std::string suffix = req.get_param_value("path");
        Json list = Json::array();
        std::lock_guard lock(mutex);
        for (const auto& r : records) {
            if (suffix.empty() || endsWith(r["path"].get<std::string>().substr(
                                               0, r["path"].get<std::string>().find('?')),
                                           suffix))
                list.push_back(r);
        }
        return success({{"requests", list}});
    }
    if (what == "requests" && method == "DELETE") {
        std::lock_guard lock(mutex);
        size_t n = records.size();
        records.clear();
        return success({{"cleared", n}});
    }
    if (what == "faults" && method == "GET") return success({{"rules", faults.list()}});
    if (what == "faults" && method == "POST") {
        Json j;
        if (auto refused = readJson(body, j)) return *refused;
        std::string error;
        auto parsed = parseRules(j, error);
        if (!parsed) return badRequest(error);
        return success({{"rules", faults.add(std::move(*parsed))}});
    }
    if (what == "faults" && method == "DELETE") {
        const size_t n = faults.clear();
        releaseHeld();
        return success({{"cleared", n}});
    }
    if (what == "release" && method == "POST") {
        releaseHeld();
        return success(Json::object());
    }
    if (what == "state" && method == "GET") return success(state());
    if (what == "publish" && method == "POST") {
        return success({{"item_list_version", project.publish()}});
    }
    if (what == "expire-tokens" && method == "POST") return success({{"expired", expireTokens()}});
    if (what == "settings" && method == "POST") {
        Json j;
        if (auto refused = readJson(body, j)) return *refused;
        if (!j.is_object()) return badRequest("the JSON body must be an object");
        std::optional<std::string> filesBase;
        for (const auto& [key, value] : j.items()) {
            if (key == "files_base_url") {
                filesBase = filesBaseSetting(value);
                if (!filesBase)
                    return badRequest(
                        "setting \"files_base_url\" must be \"\" or an http or https URL");
                continue;
            }
            if (key != "task_seconds" && key != "token_ttl_seconds")
                return badRequest("unknown setting \"" + key + "\"");
            if (!value.is_number() || value.get<double>() < 0)
                return badRequest("setting \"" + key + "\" must be a non-negative number");
        }
        std::lock_guard lock(mutex);
        if (j.contains("task_seconds")) taskSeconds = j["task_seconds"].get<double>();
        if (j.contains("token_ttl_seconds"))
            tokenTtlSeconds = j["token_ttl_seconds"].get<int64_t>();
        if (filesBase) filesBaseUrl = *filesBase;
        return success({{"task_seconds", taskSeconds},
                        {"token_ttl_seconds", tokenTtlSeconds},
                        {"files_base_url", filesBaseUrl}});
    }
    return envelope(404, kNotFound, "no such admin request: " + method + " " + req.path);
}

}  // namespace velmora::emulator

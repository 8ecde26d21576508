#include "tests/support/cloud_emulator.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace velmora::test {

namespace {

// Generous: sanitizer builds start slowly on a busy two-core machine.
constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(30);

size_t appendBody(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

size_t appendHeader(char* data, size_t size, size_t n, void* out) {
    std::string line(data, size * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * n;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

Json HttpReply::json() const {
    return Json::parse(body, nullptr, false);
}

int64_t HttpReply::code() const {
    Json j = json();
    if (!j.is_object() || !j.contains("code") || !j["code"].is_number_integer()) return -1;
    return j["code"].get<int64_t>();
}

std::string CloudEmulator::binaryPath() {
    return emulator::findEmulatorBinary(VELMORA_CLOUD_EMULATOR_PATH);
}

CloudEmulator::CloudEmulator(CloudEmulatorOptions options) {
    std::string pattern = (fs::temp_directory_path() / "velmora-emulator-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    tmpDir_ = pattern;
    dataDir_ = tmpDir_ + "/data";
    logPath_ = tmpDir_ + "/emulator.log";

    std::vector<std::string> args = {
        binaryPath(), "--host", "127.0.0.1", "--port",         "0",
        "--data",     dataDir_, "--verbose", "--task-seconds", std::to_string(options.taskSeconds)};
    if (options.sample) args.emplace_back("--sample");
    if (options.sampleItems) {
        args.emplace_back("--sample-items");
        args.push_back(std::to_string(options.sampleItems));
    }
    if (options.sampleItemSize) {
        args.emplace_back("--sample-item-size");
        args.push_back(std::to_string(options.sampleItemSize));
    }
    if (options.tokenTtlSeconds) {
        args.emplace_back("--token-ttl");
        args.push_back(std::to_string(options.tokenTtlSeconds));
    }
    args.emplace_back("--stop-on-stdin-eof");
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());

    std::string error;
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout);
    if (!process_.start(args, logPath_, timeout, error)) {
        std::string message = error + "\nits log:\n" + log();
        std::error_code ec;
        fs::remove_all(tmpDir_, ec);
        throw std::runtime_error(message);
    }
    initialSettings_ = state()["settings"];
}

CloudEmulator::~CloudEmulator() {
    int status = stop();
    if (status != 0)
        std::fprintf(stderr, "cloud emulator exited with %d; its log:\n%s\n", status,
                     log().c_str());
    std::error_code ec;
    fs::remove_all(tmpDir_, ec);
}

int CloudEmulator::stop() {
    return process_.stop(kStopTimeout);
}

std::string CloudEmulator::log() const {
    return readAll(logPath_);
}

std::string CloudEmulator::apiUrl(const std::string& endpoint) const {
    return baseUrl() + "/api/" + endpoint;
}

HttpReply CloudEmulator::request(const std::string& method, const std::string& target,
                                 const std::string& body,
                                 const std::vector<std::string>& headers) const {
    HttpReply reply;
    CURL* curl = curl_easy_init();
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    const std::string url = target.rfind("http", 0) == 0 ? target : baseUrl() + target;
    curl_slist* list = nullptr;
    for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    // Only a bound against a hung emulator: under ThreadSanitizer on a loaded machine taking a
    // rule with a 12 MB body has taken over a minute.
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (method != "GET" && method != "DELETE") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    reply.curlCode = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

HttpReply CloudEmulator::get(const std::string& target,
                             const std::vector<std::string>& headers) const {
    return request("GET", target, {}, headers);
}

HttpReply CloudEmulator::post(const std::string& target, const std::string& body,
                              const std::string& contentType) const {
    return request("POST", target, body, {"Content-Type: " + contentType});
}

std::string CloudEmulator::signature(int64_t timestampMs) const {
    const std::string content = "key=" + apiKey() + "&timestamp=" + std::to_string(timestampMs);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), apiSecret().data(), static_cast<int>(apiSecret().size()),
         reinterpret_cast<const unsigned char*>(content.data()), content.size(), mac, &len);
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < len; ++i) {
        hex += digits[mac[i] >> 4];
        hex += digits[mac[i] & 15];
    }
    return hex;
}

std::string CloudEmulator::fetchToken() const {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    Json body = {{"key", apiKey()}, {"timestamp", now}, {"signature", signature(now)}};
    Json answer = post(apiUrl("user/token/key"), body.dump()).json();
    if (!answer.is_object() || answer.value("code", -1) != 0)
        throw std::runtime_error("token request refused: " + answer.dump());
    return answer["data"]["token"].get<std::string>();
}

Json CloudEmulator::admin(const std::string& method, const std::string& path,
                          const Json& body) const {
    HttpReply reply = request(method, "/_emulator/" + path, body.is_null() ? "" : body.dump(),
                              {"Content-Type: application/json"});
    Json answer = reply.json();
    if (!answer.is_object() || answer.value("code", -1) != 0)
        throw std::runtime_error("emulator admin " + method + " " + path + " failed (" +
                                 curl_easy_strerror(static_cast<CURLcode>(reply.curlCode)) +
                                 "): " + reply.body);
    return answer["data"];
}

Json CloudEmulator::requests(const std::string& pathSuffix) const {
    std::string query;
    if (!pathSuffix.empty()) {
        CURL* curl = curl_easy_init();
        char* escaped =
            curl_easy_escape(curl, pathSuffix.c_str(), static_cast<int>(pathSuffix.size()));
        query = std::string("?path=") + escaped;
        curl_free(escaped);
        curl_easy_cleanup(curl);
    }
    return admin("GET", "requests" + query)["requests"];
}

void CloudEmulator::clearRequests() const {
    admin("DELETE", "requests");
}

Json CloudEmulator::addFault(const Json& rule) const {
    return admin("POST", "faults", rule)["rules"];
}

Json CloudEmulator::faults() const {
    return admin("GET", "faults")["rules"];
}

void CloudEmulator::clearFaults() const {
    admin("DELETE", "faults");
}

void CloudEmulator::releaseHeld() const {
    admin("POST", "release");
}

Json CloudEmulator::state() const {
    return admin("GET", "state");
}

int64_t CloudEmulator::publish() const {
    return admin("POST", "publish", Json::object())["item_list_version"].get<int64_t>();
}

void CloudEmulator::expireTokens() const {
    admin("POST", "expire-tokens", Json::object());
}

void CloudEmulator::setTaskSeconds(double seconds) const {
    admin("POST", "settings", {{"task_seconds", seconds}});
}

void CloudEmulator::setTokenTtlSeconds(int64_t seconds) const {
    admin("POST", "settings", {{"token_ttl_seconds", seconds}});
}

void CloudEmulator::setFilesBaseUrl(const std::string& url) const {
    admin("POST", "settings", {{"files_base_url", url}});
}

void CloudEmulator::reset() const {
    clearFaults();
    clearRequests();
    admin("POST", "settings", initialSettings_);
}

std::string CloudEmulator::recordedBody(const Json& record) {
    return decodeBase64(record.value("body_base64", ""));
}

std::string CloudEmulator::decodeBase64(const std::string& text) {
    if (text.empty()) return {};
    std::string out(text.size() / 4 * 3 + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) throw std::runtime_error("invalid base64");
    size_t size = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding as zero bytes.
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
    out.resize(size);
    return out;
}

std::unique_ptr<CloudEmulator> CloudEmulatorTest::emulator_;

void CloudEmulatorTest::SetUpTestSuite() {
    emulator_ = std::make_unique<CloudEmulator>();
}

void CloudEmulatorTest::TearDownTestSuite() {
    if (!emulator_) return;
    int status = emulator_->stop();
    EXPECT_EQ(status, 0) << "the cloud emulator did not stop cleanly; its log:\n"
                         << emulator_->log();
    emulator_.reset();
}

void CloudEmulatorTest::SetUp() {
    ASSERT_TRUE(emulator_) << "the cloud emulator did not start";
    emulator_->reset();
}

}  // namespace velmora::test

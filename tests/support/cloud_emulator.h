#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/cloud-emulator/launcher.h"
#include "velmora/json.h"

// A cloud emulator for integration tests: the real `velmora-cloud-emulator` binary started as a
// child process on a free loopback port with a temporary data directory, plus plain HTTP and
// admin helpers. Typical use:
//
//   class MyCloudTest : public velmora::test::CloudEmulatorTest {};
//   TEST_F(MyCloudTest, Works) {
//       config.setApiBasePath(emulator().baseUrl());
//       emulator().addFault({{"path", "items/v3/app/query"}, {"code", 100101}, {"count", 1}});
//       ...
//       auto sent = emulator().requests("items/v3/app/query");
//   }
namespace velmora::test {

struct HttpReply {
    long status = 0;   // 0 when no answer arrived
    int curlCode = 0;  // CURLcode of the transfer; 0 on success
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case

    /// The body as JSON; an absent value when it is not JSON.
    Json json() const;
    /// The "code" member of the envelope, or -1 when there is none.
    int64_t code() const;
};

struct CloudEmulatorOptions {
    bool sample = true;
    size_t sampleItems = 0;  // 0: the standard sample
    size_t sampleItemSize = 0;
    double taskSeconds = 0.5;
    int64_t tokenTtlSeconds = 0;  // 0: the emulator's default
    std::vector<std::string> extraArgs;
};

class CloudEmulator {
  public:
    explicit CloudEmulator(CloudEmulatorOptions options = {});
    ~CloudEmulator();
    CloudEmulator(const CloudEmulator&) = delete;
    CloudEmulator& operator=(const CloudEmulator&) = delete;

    /// "http://127.0.0.1:PORT": the API base path to configure the SDK with.
    const std::string& baseUrl() const { return process_.baseUrl(); }
    /// baseUrl() + "/api/" + endpoint.
    std::string apiUrl(const std::string& endpoint) const;
    int port() const { return process_.port(); }
    const std::string& apiKey() const { return process_.apiKey(); }
    const std::string& apiSecret() const { return process_.apiSecret(); }
    const std::string& appid() const { return process_.appid(); }
    const std::string& dataDir() const { return dataDir_; }
    /// What the emulator wrote to standard error so far.
    std::string log() const;

    /// Plain HTTP over loopback; `target` is a full URL or a path below baseUrl().
    HttpReply request(const std::string& method, const std::string& target,
                      const std::string& body = {},
                      const std::vector<std::string>& headers = {}) const;
    HttpReply get(const std::string& target, const std::vector<std::string>& headers = {}) const;
    HttpReply post(const std::string& target, const std::string& body,
                   const std::string& contentType = "application/json") const;

    /// The signature the cloud expects for a millisecond time stamp (computed here with
    /// OpenSSL, independently of the SDK).
    std::string signature(int64_t timestampMs) const;
    /// A fresh valid token from the token endpoint.
    std::string fetchToken() const;

    /// Recorded requests (oldest first), optionally only those whose path ends with `suffix`.
    Json requests(const std::string& pathSuffix = {}) const;
    void clearRequests() const;
    /// Adds one rule (or {"rules": [...]}); answers the added rules. Throws when refused.
    Json addFault(const Json& rule) const;
    Json faults() const;
    /// Also releases every held answer.
    void clearFaults() const;
    /// Lets every answer held by a "hold" rule go on.
    void releaseHeld() const;
    Json state() const;
    /// Publishes the items below dataDir()/items as a new version; answers its number.
    int64_t publish() const;
    void expireTokens() const;
    void setTaskSeconds(double seconds) const;
    void setTokenTtlSeconds(int64_t seconds) const;
    /// Where resource lists send item downloads ("" for the emulator itself).
    void setFilesBaseUrl(const std::string& url) const;
    /// Clears requests and faults and restores the settings the emulator started with.
    void reset() const;

    /// The decoded body of one recorded request.
    static std::string recordedBody(const Json& record);
    static std::string decodeBase64(const std::string& text);
    /// The emulator binary this fixture starts.
    static std::string binaryPath();

    /// Stops the emulator with SIGTERM and answers its exit status (0 for a clean stop).
    int stop();

  private:
    Json admin(const std::string& method, const std::string& path, const Json& body = {}) const;

    std::string tmpDir_;
    std::string dataDir_;
    std::string logPath_;
    emulator::EmulatorProcess process_;
    Json initialSettings_;
};

/// One emulator per test suite, with requests and faults cleared before every test, and a
/// check that it stops cleanly (no crash, no sanitizer report) after the suite.
class CloudEmulatorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    static CloudEmulator& emulator() { return *emulator_; }

  private:
    static std::unique_ptr<CloudEmulator> emulator_;
};

}  // namespace velmora::test

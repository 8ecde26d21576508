#include <curl/curl.h>
#include <openssl/evp.h>

#include <chrono>
#include <sstream>
#include <string>

#include "tests/support/cloud_emulator.h"

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
    std::ostringstream out;
    for (unsigned i = 0; i < len; ++i)
        out << "0123456789abcdef"[digest[i] >> 4] << "0123456789abcdef"[digest[i] & 15];
    return out.str();
}

class FaultRules : public CloudEmulatorTest {
  protected:
    void SetUp() override {
        CloudEmulatorTest::SetUp();
        token_ = emulator().fetchToken();
        Json config = query().json()["data"]["list"][0];
        Json list = emulator().get(config["item_list_url"].get<std::string>()).json()["list"];
        Json answer =
            emulator()
                .post(emulator().apiUrl("items/v3/resource/list?token=" + token_),
                      Json({{"resourceids", Json::array({list[0]["resource_id"]})}}).dump())
                .json();
        item_ = answer["data"]["resource_list"][0];
        ASSERT_TRUE(item_.is_object()) << answer.dump();
        emulator().clearRequests();
    }

    HttpReply query() {
        return emulator().get(emulator().apiUrl("items/v3/app/query?token=" + token_ +
                                                "&appid=" + emulator().appid()));
    }
    HttpReply file() { return emulator().get(item_["url"].get<std::string>()); }

    std::string token_;
    Json item_;
};

TEST_F(FaultRules, AnswerWithAnEnvelopeCodeForTheNextNRequests) {
    emulator().addFault(
        {{"path", "items/v3/app/query"}, {"code", 100101}, {"message", "expired"}, {"count", 2}});
    for (int i = 0; i < 2; ++i) {
        HttpReply reply = query();
        EXPECT_EQ(reply.code(), 100101);
        EXPECT_EQ(reply.json()["message"], "expired");
        EXPECT_FALSE(reply.headers["x-request-id"].empty());
    }
    EXPECT_EQ(query().code(), 0);
    EXPECT_TRUE(emulator().faults().empty());
    // Rules match by path suffix only: other endpoints are untouched.
    EXPECT_EQ(emulator().requests("items/v3/app/query").size(), 3u);
}

TEST_F(FaultRules, OverrideTheStatusAndTheBody) {
    emulator().addFault({{"path", "items/v3/app/query"}, {"status", 503}, {"count", 1}});
    HttpReply reply = query();
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.code(), 0);  // the answer itself is unchanged

    const Json body = {{"code", 0}, {"message", "ok"}, {"data", {{"list", Json::array()}}}};
    emulator().addFault({{"path", "items/v3/app/query"}, {"body", body}, {"count", 1}});
    EXPECT_EQ(query().json(), body);
    emulator().addFault({{"path", "items/v3/app/query"}, {"raw_body", "not json"}, {"count", 1}});
    EXPECT_EQ(query().body, "not json");
    EXPECT_EQ(query().code(), 0);
}

TEST_F(FaultRules, DelayTheAnswer) {
    emulator().addFault({{"path", "items/v3/app/query"}, {"delay_ms", 300}, {"count", 1}});
    const auto start = Clock::now();
    EXPECT_EQ(query().code(), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(FaultRules, DropTheConnectionBeforeAnswering) {
    emulator().addFault({{"path", item_["url"].get<std::string>().substr(
                                      item_["url"].get<std::string>().rfind('/'))},
                         {"drop", true}});
    HttpReply reply = file();
    EXPECT_EQ(reply.curlCode, CURLE_GOT_NOTHING);
    EXPECT_EQ(reply.status, 0);
    EXPECT_TRUE(reply.body.empty());
}

TEST_F(FaultRules, CloseAfterHalfTheBody) {
    emulator().addFault({{"path", ".bundle"}, {"truncate", true}, {"count", 1}});
    HttpReply reply = file();
    EXPECT_EQ(reply.curlCode, CURLE_PARTIAL_FILE);
    EXPECT_EQ(reply.body.size(), item_["size"].get<size_t>() / 2);
    EXPECT_EQ(md5Hex(file().body), item_["md5"]);
}

TEST_F(FaultRules, CorruptTheBytesSoTheDigestMismatches) {
    emulator().addFault({{"path", ".bundle"}, {"corrupt", true}, {"count", 1}});
    HttpReply reply = file();
    EXPECT_EQ(reply.curlCode, CURLE_OK);
    EXPECT_EQ(reply.body.size(), item_["size"].get<size_t>());
    EXPECT_NE(md5Hex(reply.body), item_["md5"]);
    EXPECT_EQ(md5Hex(file().body), item_["md5"]);
}

TEST_F(FaultRules, ThrottleToAByteRate) {
    const size_t size = item_["size"].get<size_t>();
    const int64_t rate = static_cast<int64_t>(size) * 2;  // half a second for the file
    emulator().addFault({{"path", ".bundle"}, {"throttle_bps", rate}, {"count", 1}});
    const auto start = Clock::now();
    HttpReply reply = file();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(450));
    EXPECT_EQ(md5Hex(reply.body), item_["md5"]);
}

TEST_F(FaultRules, ExpireAllTokensNow) {
    emulator().addFault({{"path", "items/v3/app/query"}, {"expire_tokens", true}, {"count", 1}});
    EXPECT_EQ(query().code(), 100101);
    EXPECT_EQ(query().code(), 100101);  // the token stays expired after the rule is used up
}

TEST_F(FaultRules, CombineAndMatchByMethod) {
    emulator().addFault({{"rules",
                          {{{"path", "app/query"}, {"method", "POST"}, {"code", 1}},
                           {{"path", "app/query"}, {"method", "GET"}, {"status", 500}},
                           {{"path", "app/query"}, {"code", 777}}}}});
    HttpReply reply = query();
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.code(), 777);
    emulator().clearFaults();
    EXPECT_EQ(query().code(), 0);
}

TEST_F(FaultRules, RefuseMalformedRules) {
    const Json bad[] = {
        {{"path", "x"}},
        {{"path", "x"}, {"dorp", true}},
        {{"path", "x"}, {"drop", "yes"}},
        {{"path", "x"}, {"code", 1}, {"count", 0}},
        {{"path", "x"}, {"status", 99}},
        {{"path", "x"}, {"message", "no code"}},
        {{"path", "x"}, {"throttle_bps", 0}},
        Json::array({1}),
    };
    for (const auto& rule : bad) {
        HttpReply reply = emulator().post("/_emulator/faults", rule.dump());
        EXPECT_EQ(reply.code(), 100400) << rule.dump();
    }
    EXPECT_TRUE(emulator().faults().empty());
}

}  // namespace
}  // namespace velmora::test

// Item batches and requests over a bad network, with the retry policy switched on and off.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>

#include "tests/cloud/exchange_test_support.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

// Short waits, so that a test spends its time on transfers, not on backoff.
QelRetryPolicy quickPolicy() {
    QelRetryPolicy policy = QelRetryPolicy::defaultPolicy();
    policy.setFirstDelay(0.01);
    policy.setMaximumDelay(0.05);
    policy.setJitter(0);
    return policy;
}

int64_t rangeStart(const Json& record) {
    const Json& headers = record["headers"];
    if (!headers.contains("range")) return -1;
    const std::string range = headers["range"];
    EXPECT_EQ(range.rfind("bytes=", 0), 0u) << range;
    EXPECT_EQ(range.back(), '-') << range;
    return std::stoll(range.substr(6));
}

class TransferRetryTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        ASSERT_GE(items.size(), kBatch);
    }
    void TearDown() override {
        QelNetworking::setRetryPolicy(std::nullopt);
        if (QelNetworking::timeoutForRequest() != 60) {
            QelNetworking::setTimeoutForRequest(60);
            QelNetworking::destroy();
        }
        CloudServiceTest::TearDown();
    }

    std::vector<std::string> field(const char* name) const {
        std::vector<std::string> out;
        for (size_t i = 0; i < kBatch; ++i) out.push_back(items[i][name].get<std::string>());
        return out;
    }

    DownloadOutcome downloadBatch() {
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(field("resource_id"), nullptr, probe.completion());
        return probe.wait();
    }

    static constexpr size_t kBatch = 6;
    Json items;
};

struct FaultCase {
    const char* name;
    Json rule;
    size_t failuresWithoutPolicy;
    size_t triesWithPolicy;  // a resumed try may be cut again: every second request is
    bool resumes;            // the fault cuts a body short, so the retry continues it
    bool shortTimeout;       // the fault stalls, and only the client's timeout ends the try
};

// Each fault, with the policy off (today's outcome: the hit items fail, nothing is resumed) and
// on (every item verified; a cut body continues exactly where it stopped).
TEST_F(TransferRetryTest, FaultsFailItemsWithoutThePolicyAndAreOvercomeWithIt) {
    const std::vector<FaultCase> cases = {
        {"every second body cut at half",
         {{"path", ".bundle"}, {"truncate", true}, {"every", 2}},
         kBatch / 2,
         11,
         true,
         false},
        {"a burst of 503",
         {{"path", ".bundle"}, {"status", 503}, {"count", 4}},
         4,
         10,
         false,
         false},
        {"429 with Retry-After",
         {{"path", ".bundle"}, {"status", 429}, {"retry_after", 1}, {"count", 2}},
         2,
         8,
         false,
         false},
        {"a stalled body", {{"path", ".bundle"}, {"hold", true}, {"count", 1}}, 1, 7, true, true},
    };
    std::map<std::string, int64_t> sizes;
    for (size_t i = 0; i < kBatch; ++i)
        sizes[fs::path(items[i]["path"].get<std::string>()).filename().string()] =
            items[i]["size"].get<int64_t>();

    for (const FaultCase& c : cases) {
        for (const bool withPolicy : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (withPolicy ? ", policy on" : ", policy off"));
            emulator().reset();
            fs::remove_all(root.path() + "/" + fs::path(field("path")[0]).parent_path().string());
            if (c.shortTimeout) {
                QelNetworking::setTimeoutForRequest(1);
                QelNetworking::destroy();
            }
            QelNetworking::setRetryPolicy(withPolicy ? std::optional(quickPolicy()) : std::nullopt);
            emulator().addFault(c.rule);
            const DownloadOutcome outcome = downloadBatch();
            emulator().clearFaults();  // lets a held answer go

            const Json sent = emulator().requests(".bundle");
            if (!withPolicy) {
                EXPECT_EQ(outcome.failFileIds.size(), c.failuresWithoutPolicy);
                EXPECT_EQ(sent.size(), kBatch);
                for (const Json& record : sent) EXPECT_EQ(rangeStart(record), -1);
                continue;
            }
            EXPECT_EQ(outcome.error, nullptr);
            EXPECT_EQ(outcome.successFileIds.size(), kBatch);
            for (size_t i = 0; i < kBatch; ++i) {
                const std::string fileId = items[i]["path"];
                EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(itemPath(fileId)),
                          items[i]["md5"].get<std::string>());
            }
            EXPECT_EQ(sent.size(), c.triesWithPolicy);

            // Per file, in order: each try after a cut one asks for exactly the bytes missing.
            std::map<std::string, std::vector<Json>> byFile;
            for (const Json& record : sent) {
                const std::string path = record["path"];
                byFile[path.substr(path.rfind('/') + 1)].push_back(record);
            }
            for (const auto& [name, tries] : byFile) {
                const int64_t size = sizes.at(name);
                int64_t start = 0;
                EXPECT_EQ(rangeStart(tries.front()), -1) << name;
                for (size_t i = 1; i < tries.size(); ++i) {
                    if (!c.resumes) {
                        EXPECT_EQ(rangeStart(tries[i]), -1) << name;
                        continue;
                    }
                    start += (size - start) / 2;
                    EXPECT_EQ(rangeStart(tries[i]), start) << name << " try " << i;
                    EXPECT_FALSE(tries[i]["headers"].value("if-range", "").empty()) << name;
                }
                if (c.rule.contains("retry_after") && tries.size() > 1) {
                    EXPECT_GE(
                        tries[1]["time_ms"].get<int64_t>() - tries[0]["time_ms"].get<int64_t>(),
                        1000)
                        << "Retry-After was not honoured for " << name;
                }
            }
        }
    }
}

// GETs are repeated as often as the policy allows; POSTs that write or sign (a plain POST, the
// token request) never are.
TEST_F(TransferRetryTest, OnlyIdempotentRequestsRepeatAndOnlyAsOftenAsAllowed) {
    QelRetryPolicy policy = quickPolicy();
    policy.setAttempts(3);
    QelNetworking::setRetryPolicy(policy);
    const std::string query = emulator().apiUrl(
        "items/v3/app/query?token=" + emulator().fetchToken() + "&appid=" + emulator().appid());
    // The answer of the last try is what the caller hears (a 503 envelope still reads as one).
    auto getCode = [&] {
        Probe<int64_t> done;
        auto answered = done.callback();
        QelNetworking::sharedInstance()->getWithURL(
            query, std::nullopt, [answered](const Json&) { answered(0); },
            [answered](const QelErrorPtr& error) { answered(error ? error->code() : -1); });
        return std::get<0>(done.wait());
    };
    const struct {
        Json rule;
        size_t tries;
        int64_t code;
    } cases[] = {
        {{{"path", "items/v3/app/query"}, {"status", 503}, {"count", 2}}, 3, 0},
        {{{"path", "items/v3/app/query"}, {"code", 130404}, {"status", 503}, {"count", 3}},
         3,
         130404},
        {{{"path", "items/v3/app/query"}, {"code", 130404}, {"status", 404}, {"count", 1}},
         1,
         130404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule.dump());
        emulator().clearRequests();
        emulator().addFault(c.rule);
        EXPECT_EQ(getCode(), c.code);
        EXPECT_EQ(emulator().requests("items/v3/app/query").size(), c.tries);
        emulator().clearFaults();
    }

    // The first request that matches is the plain POST, the second the token request.
    const std::string list =
        emulator().apiUrl("items/v3/resource/list?token=" + emulator().fetchToken());
    emulator().clearRequests();
    emulator().addFault({{"status", 503}, {"code", 130500}, {"count", 2}});
    ErrorProbe posted;
    auto answered = posted.callback();
    QelNetworking::sharedInstance()->postWithURL(
        list, Json{{"resourceids", field("resource_id")}},
        [answered](const Json&) { answered(nullptr); }, answered);
    const QelErrorPtr postError = std::get<0>(posted.wait());
    ASSERT_NE(postError, nullptr);
    EXPECT_EQ(postError->code(), 130500);
    EXPECT_EQ(emulator().requests("items/v3/resource/list").size(), 1u);

    StringProbe token;
    service->getTokenWithCompletion(token.callback());
    EXPECT_NE(std::get<0>(token.wait()), nullptr);
    EXPECT_EQ(emulator().requests("user/token/key").size(), 1u);
}

struct ReadCase {
    const char* name;
    Json rule;  // without "path"
    size_t triesWithPolicy;
    bool overcome;  // the read succeeds with the policy
};

// The two reads outside the session's GETs, the resource list POST of an item batch and the item
// list document, fail at the first fault without the policy and are repeated with it, within its
// tries and its deadline.
TEST_F(TransferRetryTest, ResourceListAndItemListReadsRepeatUnderThePolicy) {
    QelRetryPolicy policy = quickPolicy();
    policy.setAttempts(3);
    policy.setDeadline(2);
    const std::vector<ReadCase> cases = {
        {"503 twice", {{"status", 503}, {"code", 130500}, {"count", 2}}, 3, true},
        {"body cut short", {{"truncate", true}, {"count", 1}}, 2, true},
        {"429 with Retry-After",
         {{"status", 429}, {"code", 130429}, {"retry_after", 1}, {"count", 1}},
         2,
         true},
        {"more 503 than tries", {{"status", 503}, {"code", 130500}, {"count", 3}}, 3, false},
        {"Retry-After past the deadline",
         {{"status", 429}, {"code", 130429}, {"retry_after", 5}, {"count", 1}},
         1,
         false},
        {"404 is final", {{"status", 404}, {"code", 130404}, {"count", 1}}, 1, false},
    };
    const Json project = emulator()
                             .get("/api/items/v3/app/query?token=" + emulator().fetchToken() +
                                  "&appid=" + emulator().appid())
                             .json();
    const std::string listUrl = QelProjectJsonModel::createWithData(project["data"])->itemListUrl();
    const std::string listPath = listUrl.substr(listUrl.rfind("/itemlist/") + 1);
    // Held from here on, so that each batch sends its resource list request with a token.
    StringProbe token;
    service->getTokenWithCompletion(token.callback());
    ASSERT_EQ(std::get<0>(token.wait()), nullptr);

    for (const ReadCase& c : cases) {
        for (const bool withPolicy : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (withPolicy ? ", policy on" : ", policy off"));
            QelNetworking::setRetryPolicy(withPolicy ? std::optional(policy) : std::nullopt);
            const size_t tries = withPolicy ? c.triesWithPolicy : 1;
            const bool succeeds = withPolicy && c.overcome;

            emulator().reset();
            Json rule = c.rule;
            rule["path"] = "items/v3/resource/list";
            emulator().addFault(rule);
            const DownloadOutcome batch = downloadBatch();
            EXPECT_EQ(batch.error == nullptr, succeeds) << messageOf(batch.error);
            EXPECT_EQ(batch.successFileIds.size(), succeeds ? kBatch : 0);
            const Json lists = emulator().requests("items/v3/resource/list");
            EXPECT_EQ(lists.size(), tries);
            if (c.rule.contains("retry_after") && lists.size() > 1) {
                EXPECT_GE(lists[1]["time_ms"].get<int64_t>() - lists[0]["time_ms"].get<int64_t>(),
                          1000);
            }

            emulator().reset();
            rule.erase("code");  // the document is no envelope: the status alone fails it
            rule["path"] = listPath;
            emulator().addFault(rule);
            ErrorProbe read;
            service->getItemListJsonWithUrl(listUrl, read.callback());
            const QelErrorPtr error = std::get<0>(read.wait());
            EXPECT_EQ(error == nullptr, succeeds) << messageOf(error);
            EXPECT_EQ(emulator().requests(listPath).size(), tries);
        }
    }
}

}  // namespace
}  // namespace velmora::test

// The emulator's stop with a client's connection left open, and a release that comes while a held
// answer is still on its way to the hold.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "tests/support/cloud_emulator.h"

namespace velmora::test {
namespace {

size_t discard(char*, size_t size, size_t n, void*) {
    return size * n;
}

// A keep-alive connection that has had its answer and stays open, as the SDK's session keeps one.
TEST(EmulatorStop, EndsIdleConnectionsInsteadOfWaitingThemOut) {
    CloudEmulatorOptions options;
    options.sample = false;
    // Longer than the fixture waits for a stop: waiting the connection out would end in a kill.
    options.extraArgs = {"--keep-alive", "600"};
    CloudEmulator emulator(options);

    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    ASSERT_TRUE(curl);
    const std::string url = emulator.baseUrl() + "/_emulator/state";
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard);
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    long connections = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_NUM_CONNECTS, &connections);
    ASSERT_EQ(connections, 1) << "the connection should be open and idle now";

    EXPECT_EQ(emulator.stop(), 0) << emulator.log();
}

// The journal shows a request before its answer reaches the hold (here a delay keeps it between
// the two): a release the test sends on seeing it there must let that answer go.
TEST(EmulatorHold, ReleaseAfterTheJournalShowsTheRequestLetsItsAnswerGo) {
    CloudEmulator emulator;
    emulator.addFault({{"path", "items/v3/app/query"}, {"hold", true}, {"delay_ms", 2000}});
    auto reply = std::async(std::launch::async,
                            [&] { return emulator.get("/api/items/v3/app/query?appid=x"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (emulator.requests("items/v3/app/query").empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
    }
    emulator.releaseHeld();

    // Held for good, it would end in the client's own time-out (60 s) with no answer.
    const HttpReply answer = reply.get();
    EXPECT_EQ(answer.curlCode, 0);
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(answer.code(), 100000);  // no token
}

}  // namespace
}  // namespace velmora::test

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/facade.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Runs first and alone in its process: nothing of the framework exists before it.
TEST(FacadeUntouchedTest, DestroyCreatesNothing) {
    testing::TempDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    testing::SystemLogCapture log;
    ::testing::internal::CaptureStdout();

    const size_t before = threadCount();
    Velmora::destroy();
    Velmora::destroy();
    EXPECT_EQ(threadCount(), before);  // no HTTP session, no worker, no main-queue thread
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(testing::fileNames(home.path()).empty());
    EXPECT_EQ(Velmora::version(), "2.1.0");

    // The count does see a component being made: the HTTP client starts its session.
    auto http = QelNetworking::sharedInstance();
    EXPECT_GT(threadCount(), before);
    http.reset();
    Velmora::destroy();
}

}  // namespace
}  // namespace velmora

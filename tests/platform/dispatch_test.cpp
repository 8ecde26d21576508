#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace velmora::dispatch;

namespace {

TEST(Dispatch, OperationQueueNeverRunsMoreThanItsLimit) {
    OperationQueue queue(3);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::atomic<int> done{0};
    for (int i = 0; i < 40; ++i) {
        queue.async([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            ++done;
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done.load(), 40);
    EXPECT_LE(peak.load(), 3);
    EXPECT_GE(peak.load(), 2);
}

TEST(Dispatch, SerialQueueKeepsOrder) {
    OperationQueue queue(1);
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(Dispatch, GroupNotifiesOnceAfterEveryLeave) {
    Group group;
    std::atomic<int> finished{0};
    std::promise<int> notified;
    for (int i = 0; i < 20; ++i) group.async(globalQueue(), [&] { ++finished; });
    group.notify(globalQueue(), [&] { notified.set_value(finished.load()); });
    auto future = notified.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), 20);
}

TEST(Dispatch, GroupWithNothingPendingNotifiesAtOnce) {
    Group group;
    std::promise<void> notified;
    group.notify(globalQueue(), [&] { notified.set_value(); });
    EXPECT_EQ(notified.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// Many tasks that each wait for a later task must not starve the pool.
TEST(Dispatch, PoolGrowsWhileItsWorkersBlock) {
    constexpr int kWaiters = 64;
    Semaphore gate(0);
    Group group;
    for (int i = 0; i < kWaiters; ++i) group.async(globalQueue(), [&] { gate.wait(); });
    for (int i = 0; i < kWaiters; ++i) globalQueue().async([&] { gate.signal(); });
    std::promise<void> done;
    group.notify(globalQueue(), [&] { done.set_value(); });
    EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST(Dispatch, SemaphoreWaitForTimesOutAndCounts) {
    Semaphore semaphore(1);
    EXPECT_TRUE(semaphore.waitFor(0.01));
    EXPECT_FALSE(semaphore.waitFor(0.01));
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(0.01));
}

TEST(Dispatch, OnceGuardRunsOnceUntilReset) {
    OnceGuard guard;
    int calls = 0;
    guard.callOnce([&] { ++calls; });
    guard.callOnce([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    guard.reset();
    guard.callOnce([&] { ++calls; });
    EXPECT_EQ(calls, 2);
}

TEST(Dispatch, MainQueueIsSerialAndKnowsItself) {
    EXPECT_FALSE(isMainQueue());
    std::promise<std::pair<bool, std::thread::id>> first;
    std::promise<std::thread::id> second;
    mainQueue().async([&] { first.set_value({isMainQueue(), std::this_thread::get_id()}); });
    mainQueue().async([&] { second.set_value(std::this_thread::get_id()); });
    auto [onMain, id] = first.get_future().get();
    EXPECT_TRUE(onMain);
    EXPECT_EQ(second.get_future().get(), id);
}

TEST(Dispatch, HostExecutorReceivesMainQueueTasks) {
    std::vector<Task> captured;
    std::mutex mutex;
    setMainQueueExecutor([&](Task task) {
        std::lock_guard lock(mutex);
        captured.push_back(std::move(task));
    });
    bool ranOnMain = false;
    mainQueue().async([&] { ranOnMain = isMainQueue(); });
    setMainQueueExecutor(nullptr);
    ASSERT_EQ(captured.size(), 1u);
    captured.front()();
    EXPECT_TRUE(ranOnMain);
    EXPECT_FALSE(isMainQueue());
}

}  // namespace

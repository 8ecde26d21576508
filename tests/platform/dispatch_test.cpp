#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace velmora::dispatch;

namespace {

// The first tasks stay until the test lets them go, once the queue is full. The queue hands its
// runners to the shared pool, which takes its work in order: once a task given to the pool after
// all of them has run, a runner past the limit would have started a task too.
TEST(Dispatch, OperationQueueRunsUpToItsLimitAndNoMore) {
    constexpr int kLimit = 3;
    constexpr int kTasks = 40;
    OperationQueue queue(kLimit);
    std::mutex mutex;
    std::condition_variable cv;
    int running = 0;
    int peak = 0;
    int done = 0;
    bool released = false;
    bool stuck = false;
    for (int i = 0; i < kTasks; ++i) {
        queue.async([&] {
            BlockingScope blocking;
            std::unique_lock lock(mutex);
            peak = std::max(peak, ++running);
            cv.notify_all();
            if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return released; }))
                stuck = true;
            --running;
            ++done;
        });
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return running >= kLimit; }));
    }
    auto poolTurn = std::make_shared<std::promise<void>>();
    globalQueue().async([poolTurn] { poolTurn->set_value(); });
    EXPECT_EQ(poolTurn->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
    queue.waitUntilAllOperationsAreFinished();
    std::lock_guard lock(mutex);
    EXPECT_EQ(done, kTasks);
    EXPECT_FALSE(stuck);
    EXPECT_EQ(peak, kLimit);
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
    // Shared with the tasks, which may outlive a failed wait.
    auto first = std::make_shared<std::promise<std::pair<bool, std::thread::id>>>();
    auto second = std::make_shared<std::promise<std::thread::id>>();
    auto firstRan = first->get_future();
    auto secondRan = second->get_future();
    mainQueue().async([first] { first->set_value({isMainQueue(), std::this_thread::get_id()}); });
    mainQueue().async([second] { second->set_value(std::this_thread::get_id()); });
    ASSERT_EQ(firstRan.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_EQ(secondRan.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto [onMain, id] = firstRan.get();
    EXPECT_TRUE(onMain);
    EXPECT_EQ(secondRan.get(), id);
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

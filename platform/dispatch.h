#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "velmora/platform.h"

// Task queues, groups, semaphores and once-guards: the one place where the SDK makes threads.
namespace velmora::dispatch {

/// Something that runs tasks asynchronously.
class Queue {
  public:
    virtual ~Queue() = default;
    virtual void async(Task task) = 0;
};

/// The default-priority background queue: concurrent, backed by a shared worker pool that adds
/// threads while its workers are blocked (the SDK blocks pool threads in a few places, and a fixed
/// small pool would deadlock).
Queue& globalQueue();

/// The main queue: serial. Runs on a dedicated library thread unless the host installed an
/// executor (see velmora/platform.h).
Queue& mainQueue();

// isMainQueue and setMainQueueExecutor are declared in velmora/platform.h.

/// Runs at most `maxConcurrent` of its tasks at once on the global pool, in submission order.
/// With a limit of 1 it is a serial queue. The destructor waits for the tasks it accepted.
class OperationQueue : public Queue {
  public:
    explicit OperationQueue(int maxConcurrent);
    ~OperationQueue() override;
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void async(Task task) override;
    void waitUntilAllOperationsAreFinished();
    int maxConcurrent() const;

  private:
    struct State;
    static void pump(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

/// Joins a set of tasks; `notify` runs a task on a queue once every `enter` has been matched by a
/// `leave` (at once, when nothing is pending).
class Group {
  public:
    Group();
    void enter();
    void leave();
    /// enter, run the task on the queue, leave.
    void async(Queue& queue, Task task);
    void notify(Queue& queue, Task task);
    /// Blocks until nothing is pending.
    void wait();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

/// A counting semaphore; `wait` has no time limit unless `waitFor` is used.
class Semaphore {
  public:
    explicit Semaphore(int64_t count);
    void wait();
    /// False when the time ran out first.
    bool waitFor(double seconds);
    void signal();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t count_;
};

/// Holds one count of a semaphore for a scope, however the scope is left.
class SemaphoreScope {
  public:
    explicit SemaphoreScope(Semaphore& semaphore) : semaphore_(semaphore) { semaphore_.wait(); }
    ~SemaphoreScope() { semaphore_.signal(); }
    SemaphoreScope(const SemaphoreScope&) = delete;
    SemaphoreScope& operator=(const SemaphoreScope&) = delete;

  private:
    Semaphore& semaphore_;
};

/// Runs a function once; `reset` re-arms it (the shared instances' `destroy`).
class OnceGuard {
  public:
    void callOnce(const std::function<void()>& fn);
    void reset();

  private:
    std::mutex mutex_;
    bool done_ = false;
};

/// Blocks the calling thread; a pool worker that sleeps lets the pool grow meanwhile.
void sleepFor(double seconds);

/// Marks the calling thread as blocked for the scope's lifetime, so that the pool may add a worker
/// when this thread is one of its own.
class BlockingScope {
  public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

  private:
    bool active_;
};

}  // namespace velmora::dispatch

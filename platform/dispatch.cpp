#include "platform/dispatch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/timers.h"

namespace velmora::dispatch {
namespace {

thread_local bool tlsPoolWorker = false;
thread_local bool tlsMainQueue = false;

void runGuarded(Task& task) {
    try {
        task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora: a queued task threw: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "velmora: a queued task threw\n");
    }
}

// The shared worker pool. It keeps about `target_` runnable workers, adds one for every worker
// that declares itself blocked, and a monitor adds one more whenever queued work has made no
// progress for a while (blocking that nobody declared, such as a synchronous network read).
class Pool {
  public:
    static Pool& instance() {
        static Pool* pool = new Pool();  // never destroyed: detached workers may outlive main()
        return *pool;
    }

    void async(Task task) {
        std::unique_lock lock(mutex_);
        queue_.push_back(std::move(task));
        if (queue_.size() > static_cast<size_t>(idle_) && threads_ - blocked_ < target_)
            spawnLocked();
        if (!monitorStarted_) {
            monitorStarted_ = true;
            std::thread([this] { monitor(); }).detach();
        }
        lock.unlock();
        cv_.notify_one();
    }

    void willBlock() {
        std::lock_guard lock(mutex_);
        ++blocked_;
        if (queue_.size() > static_cast<size_t>(idle_) && threads_ - blocked_ < target_)
            spawnLocked();
    }

    void didUnblock() {
        std::lock_guard lock(mutex_);
        --blocked_;
    }

  private:
    Pool() : target_(std::max(4, 2 * static_cast<int>(std::thread::hardware_concurrency()))) {}

    void spawnLocked() {
        if (threads_ >= kMaxThreads) return;
        ++threads_;
        std::thread([this] { work(); }).detach();
    }

    void work() {
        tlsPoolWorker = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queue_.empty()) {
                ++idle_;
                bool woke = cv_.wait_for(lock, kIdleExit, [this] { return !queue_.empty(); });
                --idle_;
                if (!woke) {
                    --threads_;
                    return;
                }
            }
            Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            runGuarded(task);
            task = nullptr;  // captured state is released outside the lock
            lock.lock();
            ++completed_;
        }
    }

    void monitor() {
        std::unique_lock lock(mutex_);
        uint64_t seen = completed_;
        for (;;) {
            monitorCv_.wait_for(lock, kStallCheck);
            if (!queue_.empty() && idle_ == 0 && completed_ == seen) spawnLocked();
            seen = completed_;
        }
    }

    static constexpr int kMaxThreads = 512;
    static constexpr auto kIdleExit = std::chrono::seconds(20);
    static constexpr auto kStallCheck = std::chrono::milliseconds(50);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable monitorCv_;
    std::deque<Task> queue_;
    const int target_;
    int threads_ = 0;
    int idle_ = 0;
    int blocked_ = 0;
    uint64_t completed_ = 0;
    bool monitorStarted_ = false;
};

class GlobalQueue final : public Queue {
  public:
    void async(Task task) override { Pool::instance().async(std::move(task)); }
};

// One dedicated thread that runs main-queue tasks in order, unless the host took over.
class MainQueue final : public Queue {
  public:
    void async(Task task) override {
        Task wrapped = [task = std::move(task)]() mutable {
            tlsMainQueue = true;
            runGuarded(task);
            tlsMainQueue = false;
        };
        std::unique_lock lock(mutex_);
        if (executor_) {
            auto executor = executor_;
            lock.unlock();
            executor(std::move(wrapped));
            return;
        }
        queue_.push_back(std::move(wrapped));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        lock.unlock();
        cv_.notify_one();
    }

    void setExecutor(std::function<void(Task)> executor) {
        std::lock_guard lock(mutex_);
        executor_ = std::move(executor);
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return !queue_.empty(); });
            Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> queue_;
    std::function<void(Task)> executor_;
    bool started_ = false;
};

// Tasks due at a time: one thread sleeps until the earliest and hands it to the global queue.
class Timers {
  public:
    static Timers& instance() {
        static Timers* timers = new Timers();  // its thread lives as long as the process
        return *timers;
    }

    uint64_t add(std::chrono::steady_clock::time_point due, Task task) {
        std::unique_lock lock(mutex_);
        const uint64_t id = ++lastId_;
        due_.emplace(std::make_pair(due, id), std::move(task));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        lock.unlock();
        cv_.notify_one();
        return id;
    }

    bool cancel(uint64_t id) {
        Task dropped;  // released outside the lock
        std::lock_guard lock(mutex_);
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->first.second != id) continue;
            dropped = std::move(it->second);
            due_.erase(it);
            return true;
        }
        return false;
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (due_.empty()) {
                cv_.wait(lock);
                continue;
            }
            const auto first = due_.begin();
            // A copy: the entry may go while the lock is let go.
            const auto when = first->first.first;
            if (std::chrono::steady_clock::now() < when) {
                cv_.wait_until(lock, when);
                continue;
            }
            Task task = std::move(first->second);
            due_.erase(first);
            lock.unlock();
            globalQueue().async(std::move(task));
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, Task> due_;
    uint64_t lastId_ = 0;
    bool started_ = false;
};

MainQueue& mainQueueInstance() {
    static MainQueue* queue = new MainQueue();  // its thread lives as long as the process
    return *queue;
}

}  // namespace

Queue& globalQueue() {
    static GlobalQueue* queue = new GlobalQueue();
    return *queue;
}

Queue& mainQueue() {
    return mainQueueInstance();
}

bool isMainQueue() {
    return tlsMainQueue;
}

void setMainQueueExecutor(std::function<void(Task)> executor) {
    mainQueueInstance().setExecutor(std::move(executor));
}

// ---- OperationQueue ----

struct OperationQueue::State {
    std::mutex mutex;
    std::condition_variable drained;
    std::deque<Task> tasks;
    int running = 0;
    int maxConcurrent = 1;
};

OperationQueue::OperationQueue(int maxConcurrent) : state_(std::make_shared<State>()) {
    state_->maxConcurrent = std::max(1, maxConcurrent);
}

OperationQueue::~OperationQueue() {
    waitUntilAllOperationsAreFinished();
}

int OperationQueue::maxConcurrent() const {
    return state_->maxConcurrent;
}

void OperationQueue::async(Task task) {
    std::unique_lock lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    if (state_->running >= state_->maxConcurrent) return;
    ++state_->running;
    lock.unlock();
    globalQueue().async([state = state_] { pump(state); });
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    BlockingScope blocking;
    std::unique_lock lock(state_->mutex);
    state_->drained.wait(lock, [this] { return state_->tasks.empty() && state_->running == 0; });
}

// One runner drains tasks in order; up to maxConcurrent runners exist at once.
void OperationQueue::pump(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (!state->tasks.empty()) {
        Task task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        runGuarded(task);
        task = nullptr;
        lock.lock();
    }
    --state->running;
    if (state->running == 0) state->drained.notify_all();
}

// ---- Group ----

struct Group::State {
    std::mutex mutex;
    std::condition_variable done;
    int64_t pending = 0;
    std::vector<std::pair<Queue*, Task>> notifications;
};

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->pending;
}

void Group::leave() {
    // A waiter may destroy this Group as soon as the count reaches zero; the state outlives it.
    std::shared_ptr<State> state = state_;
    std::vector<std::pair<Queue*, Task>> ready;
    {
        std::lock_guard lock(state->mutex);
        if (--state->pending > 0) return;
        state->pending = 0;
        ready.swap(state->notifications);
        state->done.notify_all();
    }
    for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void Group::async(Queue& queue, Task task) {
    enter();
    queue.async([group = *this, task = std::move(task)]() mutable {
        runGuarded(task);
        group.leave();
    });
}

void Group::notify(Queue& queue, Task task) {
    std::unique_lock lock(state_->mutex);
    if (state_->pending > 0) {
        state_->notifications.emplace_back(&queue, std::move(task));
        return;
    }
    lock.unlock();
    queue.async(std::move(task));
}

void Group::wait() {
    BlockingScope blocking;
    std::unique_lock lock(state_->mutex);
    state_->done.wait(lock, [this] { return state_->pending <= 0; });
}

// ---- Semaphore ----

Semaphore::Semaphore(int64_t count) : count_(count) {}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    if (count_ <= 0) {
        lock.unlock();
        BlockingScope blocking;
        lock.lock();
        cv_.wait(lock, [this] { return count_ > 0; });
    }
    --count_;
}

bool Semaphore::waitFor(double seconds) {
    std::unique_lock lock(mutex_);
    if (count_ <= 0) {
        lock.unlock();
        BlockingScope blocking;
        lock.lock();
        auto limit = std::chrono::duration<double>(std::max(0.0, seconds));
        if (!cv_.wait_for(lock, limit, [this] { return count_ > 0; })) return false;
    }
    --count_;
    return true;
}

void Semaphore::signal() {
    // Notified under the lock: a waiter that returns may destroy the semaphore at once (the
    // synchronous-wait pattern), which must not happen while this call still touches it.
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_one();
}

// ---- OnceGuard ----

void OnceGuard::callOnce(const std::function<void()>& fn) {
    std::lock_guard lock(mutex_);
    if (done_) return;
    if (fn) fn();
    done_ = true;
}

void OnceGuard::reset() {
    std::lock_guard lock(mutex_);
    done_ = false;
}

// ---- Blocking ----

void sleepFor(double seconds) {
    BlockingScope blocking;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds)));
}

uint64_t after(double seconds, Task task) {
    if (std::isinf(seconds) && seconds > 0) return 0;
    // A year is as good as never for what waits here, and keeps the clock's arithmetic in range.
    constexpr double kLongest = 365.0 * 24 * 3600;
    const double wait = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, kLongest);
    const auto due = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(wait));
    return Timers::instance().add(due, std::move(task));
}

bool cancelAfter(uint64_t id) {
    return id != 0 && Timers::instance().cancel(id);
}

BlockingScope::BlockingScope() : active_(tlsPoolWorker) {
    if (active_) Pool::instance().willBlock();
}

BlockingScope::~BlockingScope() {
    if (active_) Pool::instance().didUnblock();
}

}  // namespace velmora::dispatch

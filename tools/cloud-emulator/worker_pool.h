#pragma once

// The server's worker pool: a worker per open connection, made on demand, retired when idle.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::emulator {

// httplib's own pool has a fixed number of workers, and a connection keeps one for as long as it
// is open: a few idle connections then hold up every other client.
class ElasticTaskQueue final : public httplib::TaskQueue {
  public:
    ElasticTaskQueue(size_t maxThreads, std::chrono::seconds idleLife)
        : maxThreads_(maxThreads), idleLife_(idleLife) {}
    ~ElasticTaskQueue() override { shutdown(); }

    void enqueue(std::function<void()> job) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        reapLocked();
        if (jobs_.size() > idle_ && workers_.size() < maxThreads_) {
            std::thread worker([this] { work(); });
            const auto id = worker.get_id();
            workers_.emplace(id, std::move(worker));
        }
        ready_.notify_one();
    }

    void shutdown() override {
        std::map<std::thread::id, std::thread> workers;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            workers.swap(workers_);
            exited_.clear();
        }
        ready_.notify_all();
        for (auto& [id, worker] : workers) worker.join();
    }

  private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woken =
                ready_.wait_for(lock, idleLife_, [this] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (jobs_.empty()) {
                if (!woken || stopping_) {
                    if (!stopping_) exited_.push_back(std::this_thread::get_id());
                    return;
                }
                continue;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
    }

    // Joins the workers that left for want of work; they no longer need the lock.
    void reapLocked() {
        for (const auto& id : exited_) {
            auto it = workers_.find(id);
            if (it == workers_.end()) continue;
            it->second.join();
            workers_.erase(it);
        }
        exited_.clear();
    }

    const size_t maxThreads_;
    const std::chrono::seconds idleLife_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::thread::id, std::thread> workers_;
    std::vector<std::thread::id> exited_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace velmora::emulator

#include "cloud/shared_transfers.h"

#include <vector>

namespace velmora::detail {

SharedTransfers& SharedTransfers::instance() {
    // Never destroyed: a transfer may end during static destruction.
    static auto* transfers = new SharedTransfers();
    return *transfers;
}

std::map<uint64_t, TransferWaiter> SharedTransfers::takeAll(const std::string& key,
                                                            const std::shared_ptr<Entry>& entry) {
    std::lock_guard lock(mutex_);
    auto it = running_.find(key);
    if (it != running_.end() && it->second == entry) running_.erase(it);
    entry->task.reset();  // its callbacks hold the entry
    return std::exchange(entry->waiters, {});
}

uint64_t SharedTransfers::join(const std::string& key, TransferWaiter waiter,
                               const Starter& start) {
    std::shared_ptr<Entry> entry;
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = ++nextId_;
        auto& slot = running_[key];
        if (slot) {
            slot->waiters.emplace(id, std::move(waiter));
            return id;
        }
        slot = entry = std::make_shared<Entry>();
        entry->waiters.emplace(id, std::move(waiter));
    }
    TransferWaiter everyone;
    everyone.bytes = [this, entry](int64_t written) {
        std::vector<std::function<void(int64_t)>> listeners;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, waiter] : entry->waiters)
                if (waiter.bytes) listeners.push_back(waiter.bytes);
        }
        for (const auto& listener : listeners) listener(written);
    };
    everyone.success = [this, key, entry] {
        for (auto& [id, waiter] : takeAll(key, entry))
            if (waiter.success) waiter.success();
    };
    everyone.failure = [this, key, entry](const QelErrorPtr& error) {
        for (auto& [id, waiter] : takeAll(key, entry))
            if (waiter.failure) waiter.failure(error);
    };
    // Started outside the lock: its callbacks may come before `start` returns.
    QelURLSessionTaskPtr task = start(std::move(everyone));
    bool abandoned;
    {
        std::lock_guard lock(mutex_);
        // Empty: it ended already, or every waiter left while it started.
        abandoned = entry->waiters.empty();
        if (!abandoned) entry->task = task;
    }
    if (abandoned && task) task->cancel();
    return id;
}

SharedTransfers::Departure SharedTransfers::leave(const std::string& key, uint64_t id) {
    Departure departure;
    QelURLSessionTaskPtr orphan;
    {
        std::lock_guard lock(mutex_);
        auto it = running_.find(key);
        if (it == running_.end()) return departure;
        const std::shared_ptr<Entry> entry = it->second;
        auto waiter = entry->waiters.find(id);
        if (waiter == entry->waiters.end()) return departure;
        departure.failure = std::move(waiter->second.failure);
        entry->waiters.erase(waiter);
        departure.othersWait = !entry->waiters.empty();
        if (!departure.othersWait) {
            running_.erase(it);
            // Absent while it starts: `join` cancels it then.
            orphan = std::exchange(entry->task, nullptr);
        }
    }
    if (orphan) orphan->cancel();
    return departure;
}

}  // namespace velmora::detail

#include "velmora/cancellation.h"

#include <utility>

namespace velmora {

std::shared_ptr<QelCancellationToken> QelCancellationToken::create() {
    return std::shared_ptr<QelCancellationToken>(new QelCancellationToken());
}

void QelCancellationToken::cancel() {
    std::map<uint64_t, std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        handlers.swap(handlers_);
    }
    // Outside the lock: a handler may add or remove others.
    for (auto& [id, handler] : handlers) handler();
}

bool QelCancellationToken::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

uint64_t QelCancellationToken::addHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            handlers_.emplace(++nextId_, std::move(handler));
            return nextId_;
        }
    }
    handler();
    return 0;
}

void QelCancellationToken::removeHandler(uint64_t id) {
    std::lock_guard lock(mutex_);
    handlers_.erase(id);
}

}  // namespace velmora

#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "velmora/error.h"

// The cloud's answer handlers end their operation with exactly one completion, even when
// something in them throws (an allocation that fails on a large answer, a host's completion).
namespace velmora::detail {

/// The completion, called at most once however often the result is called. Empty stays empty.
template <typename... Args>
std::function<void(Args...)> onceOnly(std::function<void(Args...)> completion) {
    if (!completion) return completion;
    auto called = std::make_shared<std::atomic<bool>>(false);
    return [called, completion = std::move(completion)](Args... args) {
        if (!called->exchange(true)) completion(std::forward<Args>(args)...);
    };
}

/// 999999 "<method> 出错,<what was thrown>".
QelErrorPtr thrownError(const std::string& method, const std::exception_ptr& thrown);

/// Runs a handler's body; when it throws, `failed` gets the error of `thrownError`. With a
/// completion made by `onceOnly`, `failed` reaches the caller only when the body had not
/// completed yet.
template <typename Body, typename Failed>
void runGuarded(const std::string& method, Body&& body, Failed&& failed) {
    try {
        body();
        return;
    } catch (...) {
        const QelErrorPtr error = thrownError(method, std::current_exception());
        try {
            failed(error);
        } catch (...) {  // a host's completion that throws again: it has been called
        }
    }
}

}  // namespace velmora::detail

#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "tests/cloud/cloud_test_support.h"
#include "tests/support/cloud_emulator.h"
#include "tools/cloud-emulator/multipart.h"
#include "velmora/cloud_service.h"

namespace velmora::test {

/// Takes one completion call and hands its arguments over. Calls are counted, so "exactly once"
/// is checked with `calls()` once the work has had the chance to call again. Copies share one
/// state, so a callback that comes after a failed wait writes to nothing freed.
template <typename... Args>
class Probe {
  public:
    using Values = std::tuple<std::decay_t<Args>...>;

    std::function<void(Args...)> callback() {
        auto state = state_;
        return [state](Args... args) {
            if (state->calls.fetch_add(1) == 0) {
                state->synchronous = std::this_thread::get_id() == state->caller;
                state->promise.set_value(Values(args...));
            }
        };
    }
    Values wait() {
        if (state_->future.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            throw std::runtime_error("the completion was never called");
        return state_->future.get();
    }
    bool called() const { return state_->calls.load() > 0; }
    int calls() const { return state_->calls.load(); }
    /// True when the first call ran on the thread that made the probe.
    bool synchronous() const { return state_->synchronous; }

  private:
    struct State {
        std::atomic<int> calls{0};
        std::thread::id caller = std::this_thread::get_id();
        bool synchronous = false;
        std::promise<Values> promise;
        std::future<Values> future = promise.get_future();
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

using ErrorProbe = Probe<const QelErrorPtr&>;
using ValueProbe = Probe<const QelErrorPtr&, const Json&>;
using StringProbe = Probe<const QelErrorPtr&, const std::optional<std::string>&>;

inline std::string messageOf(const QelErrorPtr& error) {
    return error ? error->localizedDescription() : "(no error)";
}

/// The multipart parts of a recorded request.
inline emulator::FormParseResult recordedForm(const Json& record) {
    const std::string type = record["headers"].value("content-type", "");
    return emulator::parseMultipart(CloudEmulator::recordedBody(record),
                                    emulator::multipartBoundary(type));
}

/// The query of a recorded request's path ("" when it has none).
inline std::string recordedQuery(const Json& record) {
    const std::string path = record["path"].get<std::string>();
    const size_t mark = path.find('?');
    return mark == std::string::npos ? std::string() : path.substr(mark + 1);
}

}  // namespace velmora::test

#include "net/task_events.h"

#include "net/session.h"
#include "net/url_encoding.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/thrown.h"

namespace velmora::detail {

void logCallbackThrow(const TaskCore& core, const std::exception_ptr& thrown) {
    platform::systemLog("velmora: a callback of task " + std::to_string(core.identifier) + " (" +
                        core.method + " " + redactTokens(core.url) +
                        ") threw: " + platform::thrownText(thrown));
}

void postEvents(dispatch::OperationQueue& queue, const std::shared_ptr<QelURLSessionTask>& task,
                std::vector<TaskEvent> events) {
    EventChain& chain = coreOf(task).events;
    {
        std::lock_guard lock(chain.mutex);
        for (auto& event : events) chain.events.push_back(std::move(event));
        if (chain.drainScheduled) return;
        chain.drainScheduled = true;
    }
    // One runner per task at a time keeps the task's events in order.
    queue.async([task] {
        TaskCore& c = coreOf(task);
        for (;;) {
            TaskEvent next;
            {
                std::lock_guard lock(c.events.mutex);
                if (c.events.events.empty()) {
                    c.events.drainScheduled = false;
                    return;
                }
                next = std::move(c.events.events.front());
                c.events.events.pop_front();
            }
            // The handlers guard the callbacks they call; this catches what escapes anyway (an
            // allocation failure), so that the task's later events, its clean-up among them,
            // still run.
            callGuarded(c, [&] {
                if (next.isProgress) {
                    if (c.handlers.didWriteData)
                        c.handlers.didWriteData(next.bytesWritten, next.totalWritten,
                                                next.totalExpected);
                } else {
                    next.run();
                }
            });
        }
    });
}

// Steps that pile up behind a busy callback queue merge into one, so that a slow listener is not
// flooded; the last step always shows the final count.
void postProgress(dispatch::OperationQueue& queue, const std::shared_ptr<QelURLSessionTask>& task,
                  TaskEvent event) {
    EventChain& chain = coreOf(task).events;
    {
        std::lock_guard lock(chain.mutex);
        if (!chain.events.empty() && chain.events.back().isProgress) {
            TaskEvent& last = chain.events.back();
            last.bytesWritten += event.bytesWritten;
            last.totalWritten = event.totalWritten;
            last.totalExpected = event.totalExpected;
            return;
        }
    }
    std::vector<TaskEvent> events;
    events.push_back(std::move(event));
    postEvents(queue, task, std::move(events));
}

}  // namespace velmora::detail

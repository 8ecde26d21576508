#include "report.h"

#include <cstdio>

namespace demo {

namespace {

const char* statusText(Report::Status status) {
    switch (status) {
        case Report::Status::Ok:
            return "ok";
        case Report::Status::Failed:
            return "failed";
        case Report::Status::Skipped:
            return "skipped";
    }
    return "?";
}

}  // namespace

double elapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void Report::setCloud(std::string baseUrl, bool emulatorStarted) {
    baseUrl_ = std::move(baseUrl);
    emulatorStarted_ = emulatorStarted;
    if (!json_)
        std::fprintf(
            out_, "cloud: %s%s\n", baseUrl_.c_str(),
            emulatorStarted_ ? " (the project's cloud emulator, started by the demo)" : "");
}

void Report::add(Step step) {
    if (!json_) {
        std::fprintf(out_, "[%d] %-8s %-7s %s (%.0f ms)\n", step.number, step.name.c_str(),
                     statusText(step.status), step.summary.c_str(), step.ms);
        if (step.error)
            std::fprintf(out_, "    error %s %lld: %s\n", step.error->domain().c_str(),
                         static_cast<long long>(step.error->code()),
                         step.error->localizedDescription().c_str());
        std::fflush(out_);
    }
    steps_.push_back(std::move(step));
}

void Report::note(const std::string& line) const {
    if (json_) return;
    std::fprintf(out_, "    %s\n", line.c_str());
    std::fflush(out_);
}

bool Report::ok() const {
    for (const auto& s : steps_)
        if (s.status == Status::Failed) return false;
    return !steps_.empty();
}

void Report::finish() const {
    if (!json_) {
        std::fprintf(out_, "%s\n",
                     ok() ? "demo: every step done" : "demo: a step failed (see above)");
        return;
    }
    velmora::Json doc = {{"ok", ok()},
                         {"cloud", baseUrl_},
                         {"emulator_started", emulatorStarted_},
                         {"steps", velmora::Json::array()}};
    for (const auto& s : steps_) {
        velmora::Json step = {
            {"step", s.number},     {"name", s.name}, {"status", statusText(s.status)},
            {"summary", s.summary}, {"ms", s.ms},     {"figures", s.figures}};
        if (s.error)
            step["error"] = {{"domain", s.error->domain()},
                             {"code", s.error->code()},
                             {"message", s.error->localizedDescription()}};
        doc["steps"].push_back(std::move(step));
    }
    std::fprintf(out_, "%s\n", doc.dump(2).c_str());
}

}  // namespace demo

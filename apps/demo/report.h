#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "velmora/error.h"
#include "velmora/json.h"

namespace demo {

/// What the demo did, step by step: printed as lines while it runs, or as one JSON document at
/// the end with `--json`.
class Report {
  public:
    enum class Status { Ok, Failed, Skipped };

    struct Step {
        int number = 0;
        std::string name;
        Status status = Status::Ok;
        std::string summary;  // one line: what happened, with its figures
        double ms = 0.0;
        velmora::Json figures = velmora::Json::object();
        velmora::QelErrorPtr error;
    };

    Report(bool json, std::FILE* out) : json_(json), out_(out) {}

    std::FILE* out() const { return out_; }

    bool json() const { return json_; }
    void setCloud(std::string baseUrl, bool emulatorStarted);
    void add(Step step);
    /// A line that is not a step (progress, notes); dropped in JSON mode.
    void note(const std::string& line) const;
    bool ok() const;
    /// The JSON document; in line mode, a closing line.
    void finish() const;
    const std::vector<Step>& steps() const { return steps_; }

  private:
    bool json_;
    std::FILE* out_;
    std::string baseUrl_;
    bool emulatorStarted_ = false;
    std::vector<Step> steps_;
};

/// Milliseconds since `start`, as a double.
double elapsedMs(std::chrono::steady_clock::time_point start);

}  // namespace demo

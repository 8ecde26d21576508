#pragma once

#include <unistd.h>

#include <atomic>
#include <string>

#include "velmora/error.h"

// What a measured child process prints for its parent (see child_process.h): lines on standard
// output, written at once so that none is lost when the child ends with _Exit.
namespace velmora::testing {

inline void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)::write(STDOUT_FILENO, text.data(), text.size());
}

/// How many completions `report` has printed.
inline std::atomic<int>& completionsReported() {
    static std::atomic<int> count{0};
    return count;
}

/// "completion CODE MESSAGE" ("none" for no error), the message's head on one line: the parent
/// checks its start, never its whole length.
inline void report(const QelErrorPtr& error) {
    std::string message = error ? error->localizedDescription().substr(0, 300) : "";
    for (char& c : message) {
        if (c == '\n') c = ' ';
    }
    say("completion " + (error ? std::to_string(error->code()) : std::string("none")) + " " +
        message);
    // Counted only once written: the main thread may print its last lines and exit at once.
    ++completionsReported();
}

}  // namespace velmora::testing

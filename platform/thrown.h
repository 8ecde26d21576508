#pragma once

#include <exception>
#include <string>

namespace velmora::platform {

/// What was thrown, for a log line: the `what()` of a std::exception, else a note that it was
/// none.
inline std::string thrownText(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "an exception that is no std::exception";
}

}  // namespace velmora::platform

#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace velmora::platform {

double absoluteTimeNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string localDateStamp() {
    return localTimeText("%Y%m%d%H%M%S", "");
}

std::string localTimeText(const char* pattern, const char* millisSeparator) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    size_t n = std::strftime(buffer, sizeof buffer, pattern, &local);
    std::snprintf(buffer + n, sizeof buffer - n, "%s%03lld", millisSeparator,
                  static_cast<long long>(millis));
    return buffer;
}

}  // namespace velmora::platform

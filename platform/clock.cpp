#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace velmora::platform {

double absoluteTimeNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

int64_t epochMillisNow() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string localDateStamp() {
    return localDateStamp(epochMillisNow());
}

std::string localDateStamp(int64_t epochMillis) {
    return localTimeText(epochMillis, "%Y%m%d%H%M%S", "");
}

std::string localTimeText(const char* pattern, const char* millisSeparator) {
    return localTimeText(epochMillisNow(), pattern, millisSeparator);
}

std::string localTimeText(int64_t epochMillis, const char* pattern, const char* millisSeparator) {
    std::time_t seconds = static_cast<std::time_t>(epochMillis / 1000);
    auto millis = epochMillis % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    size_t n = std::strftime(buffer, sizeof buffer, pattern, &local);
    std::snprintf(buffer + n, sizeof buffer - n, "%s%03lld", millisSeparator,
                  static_cast<long long>(millis));
    return buffer;
}

}  // namespace velmora::platform

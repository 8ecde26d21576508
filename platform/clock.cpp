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
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    size_t n = std::strftime(buffer, sizeof buffer, "%Y%m%d%H%M%S", &local);
    std::snprintf(buffer + n, sizeof buffer - n, "%03lld", static_cast<long long>(millis));
    return buffer;
}

}  // namespace velmora::platform

#include "velmora/tool.h"

#include <sys/stat.h>

#include <cstdio>

#include "core/format.h"
#include "core/percent.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "velmora/window.h"

namespace velmora {
namespace {

void printBanner(std::string_view banner, const std::optional<std::string>& message) {
    platform::writeStandardOutput(detail::formatMessage(
        banner, {message ? std::string_view(*message) : std::string_view("(null)")}));
}

std::vector<std::string_view> splitAll(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

void QelTool::normalLog(const std::optional<std::string>& message) {
    printBanner("🌞 Velmora Message: %@\n", message);
}

void QelTool::warningLog(const std::optional<std::string>& message) {
    printBanner("⚠️ Velmora Warning: %@\n", message);
}

void QelTool::errorLog(const std::optional<std::string>& message) {
    printBanner("💥 Velmora Error: %@\n", message);
}

void QelTool::calculateTimeWithMessage(const std::string& message,
                                       const std::function<void()>& operateBlock) {
    double start = platform::absoluteTimeNow();
    if (operateBlock) operateBlock();
    double elapsedMs = (platform::absoluteTimeNow() - start) * 1000.0;
    char number[64];
    std::snprintf(number, sizeof number, "%f", elapsedMs);
    platform::systemLog(detail::formatMessage("%@ 花费的时间为: %@ms", {message, number}));
}

QelErrorPtr QelTool::errorWithCode(int32_t code, const std::string& message) {
    return QelError::make(kNSCocoaErrorDomain, code, message);
}

std::string QelTool::errorMessage(const QelErrorPtr& error) {
    return error ? error->localizedDescription() : std::string();
}

std::optional<std::string> QelTool::moduleVersionWithName(const std::string& name) {
    const std::string plistPath = platform::frameworkBundlePath(name) + "/Info.plist";
    struct stat info {};
    if (::stat(plistPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errorLog(detail::formatMessage("没有查到 %@ 的版本号，请检查是否真的存在该库！", {name}));
        return "";
    }
    Json version = jsonMember(platform::readPropertyList(plistPath), "CFBundleShortVersionString");
    std::optional<std::string> result;
    if (version.is_string()) result = version.get<std::string>();
    normalLog(detail::formatMessage("%@ Version: %@", {name, result ? *result : "(null)"}));
    return result;
}

std::shared_ptr<QelWindow> QelTool::keyWindow() {
    for (auto& window : QelApplication::windows()) {
        if (window && window->isKeyWindow()) return window;
    }
    return nullptr;
}

Json QelTool::getURLParameters(const std::string& url) {
    if (!url.starts_with("http")) return absentJson();
    size_t mark = url.find('?');
    if (mark == std::string::npos) return absentJson();
    std::string_view query = std::string_view(url).substr(mark + 1);

    if (query.find('&') == std::string_view::npos) {
        auto parts = splitAll(query, '=');
        if (parts.size() == 1) return absentJson();
        auto key = detail::percentDecode(parts.front());
        auto value = detail::percentDecode(parts.back());
        if (!key || !value) return absentJson();
        return Json{{*key, *value}};
    }

    Json parameters = Json::object();
    for (std::string_view piece : splitAll(query, '&')) {
        auto parts = splitAll(piece, '=');
        auto key = detail::percentDecode(parts.front());
        auto value = detail::percentDecode(parts.back());
        if (!key || !value) continue;
        auto existing = parameters.find(*key);
        if (existing == parameters.end()) {
            parameters[*key] = *value;
        } else if (existing->is_array()) {
            existing->push_back(*value);
        } else {
            *existing = Json::array({*existing, *value});
        }
    }
    return parameters;
}

}  // namespace velmora

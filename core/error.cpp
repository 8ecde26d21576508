#include <cerrno>
#include <cstring>

#include "velmora/error.h"

namespace velmora {

QelError::QelError(std::string domain, int64_t code, UserInfo userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

std::shared_ptr<const QelError> QelError::make(std::string domain, int64_t code,
                                               const std::string& message) {
    return std::make_shared<const QelError>(std::move(domain), code,
                                            UserInfo{{kNSLocalizedDescriptionKey, message}});
}

std::string QelError::localizedDescription() const {
    auto it = userInfo_.find(kNSLocalizedDescriptionKey);
    return it == userInfo_.end() ? std::string() : it->second;
}

std::string QelError::description() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
           localizedDescription() + "\"";
}

std::string errorDescription(const QelErrorPtr& error) {
    return error ? error->description() : std::string("(null)");
}

QelErrorPtr makePOSIXError(int errnoValue) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    return QelError::make(kNSPOSIXErrorDomain, errnoValue, text ? text : "");
}

}  // namespace velmora

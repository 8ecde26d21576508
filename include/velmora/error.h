#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "velmora/export.h"

namespace velmora {

inline constexpr const char* kNSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kNSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kNSLocalizedDescriptionKey = "NSLocalizedDescriptionKey";

/// Transport error codes, as hosts already test for them.
enum QelURLErrorCode : int64_t {
    QelURLErrorUnknown = -1,
    QelURLErrorCancelled = -999,
    QelURLErrorTimedOut = -1001,
    QelURLErrorCannotFindHost = -1003,
    QelURLErrorCannotConnectToHost = -1004,
    QelURLErrorNetworkConnectionLost = -1005,
    QelURLErrorBadServerResponse = -1011,
    /// An answer larger than the limit set for it (a body, a download, the item list).
    QelURLErrorDataLengthExceedsMaximum = -1103,
    QelURLErrorSecureConnectionFailed = -1200,
};

/// The system's own fixed codes.
inline constexpr int32_t QelErrorCodeMissingArgument = 777777;
inline constexpr int32_t QelErrorCodeUnknownItems = 888888;
inline constexpr int32_t QelErrorCodeFailure = 999999;

/// User-information keys of a record that comes from a cloud or HTTP answer, beside the message
/// (which keeps them in its text too). Each entry is there only when the answer had it:
/// the envelope's non-zero "code" as decimal text,
inline constexpr const char* kQelCloudCodeKey = "QelCloudCode";
/// the answer's HTTP status as decimal text,
inline constexpr const char* kQelHTTPStatusKey = "QelHTTPStatus";
/// and the answer's "x-request-id" header.
inline constexpr const char* kQelRequestIDKey = "QelRequestID";

/// An immutable error record: domain, code and user information (the message under
/// "NSLocalizedDescriptionKey"). Records travel as `QelErrorPtr`; `nullptr` means no error.
class VELMORA_EXPORT QelError {
  public:
    using UserInfo = std::map<std::string, std::string>;

    QelError(std::string domain, int64_t code, UserInfo userInfo);

    /// A record with the message as its only user-information entry.
    static std::shared_ptr<const QelError> make(std::string domain, int64_t code,
                                                const std::string& message);

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const UserInfo& userInfo() const { return userInfo_; }

    /// The message under "NSLocalizedDescriptionKey", or "" when there is none.
    std::string localizedDescription() const;

    /// How a record prints where a message embeds it as "%@":
    /// `Error Domain=<domain> Code=<code> "<message>"`.
    std::string description() const;

  private:
    std::string domain_;
    int64_t code_;
    UserInfo userInfo_;
};

using QelErrorPtr = std::shared_ptr<const QelError>;

/// "%@" of a possibly absent record: its description, or "(null)".
VELMORA_EXPORT std::string errorDescription(const QelErrorPtr& error);

/// A file-system error made once, at the edge: "NSPOSIXErrorDomain", `errno` and its text.
VELMORA_EXPORT QelErrorPtr makePOSIXError(int errnoValue);

}  // namespace velmora

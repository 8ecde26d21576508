#pragma once

#include <optional>
#include <string>

#include "velmora/export.h"

namespace velmora {

/// The two digests of the cloud exchange, as lower-case hexadecimal text. Stateless.
class VELMORA_EXPORT QelEncryptUtils {
  public:
    QelEncryptUtils() = delete;

    /// HMAC-SHA256 of `content` under `secret`: 64 hex digits, or "" for an empty secret. Both
    /// texts end at their first zero byte; the secret's bytes are used as they are.
    static std::string HMacSHA256WithSecret(const std::string& secret, const std::string& content);

    /// MD5 of a file, streamed through a fixed 8192-byte buffer: 32 hex digits, or absent when
    /// the path is no readable plain file or a read fails.
    static std::optional<std::string> getFileMD5WithPath(const std::string& path);
};

}  // namespace velmora

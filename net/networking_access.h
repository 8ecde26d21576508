#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "velmora/networking.h"

namespace velmora::detail {

/// The request forms that the SDK's own wings use beyond the public ones.
struct NetworkingAccess {
    /// A GET or JSON POST whose answer may have at most `maxBytes` (when above 0) of body, below
    /// the shared limit: a larger one fails as any answer over the limit does, unread. An
    /// `idempotent` POST only reads, and so falls under the retry policy as a GET does.
    static QelURLSessionTaskPtr boundedGet(QelNetworking& networking, const std::string& url,
                                           const QelNetworking::Parameters& parameters,
                                           int64_t maxBytes, QelNetworking::SuccessBlock success,
                                           QelNetworking::FailureBlock failure) {
        return networking.startGet(url, parameters, std::move(success), std::move(failure),
                                   maxBytes);
    }
    static QelURLSessionTaskPtr boundedPost(QelNetworking& networking, const std::string& url,
                                            const Json& parameters, bool idempotent,
                                            int64_t maxBytes, QelNetworking::SuccessBlock success,
                                            QelNetworking::FailureBlock failure) {
        return networking.startPost(url, parameters, std::move(success), std::move(failure),
                                    idempotent, maxBytes);
    }

    /// The progress form (the digest checked when `md5` is given), with `bytes` hearing the
    /// file's byte count as it grows (on the callback queue, at most every 50 ms and once with
    /// the last count).
    static QelURLSessionTaskPtr download(
        QelNetworking& networking, const std::string& url, const std::string& directoryPath,
        const std::string& fileName, std::optional<std::string> md5,
        std::optional<int64_t> maximumSize, QelNetworking::ProgressBlock progress,
        QelNetworking::DownloadSuccessBlock success, QelNetworking::FailureBlock failure,
        std::function<void(int64_t written)> bytes) {
        return networking.startDownload(url, directoryPath, fileName, maximumSize, true,
                                        std::move(progress), std::move(success), std::move(failure),
                                        std::move(md5), std::move(bytes));
    }
};

}  // namespace velmora::detail

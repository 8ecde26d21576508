#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/networking.h"

// The HTTP client as the SDK's own layers use it: the requests a host may send, and the forms
// that only the cloud service needs. Every request runs on the shared client's one session and
// sits in its registry while it runs, so the client's cancel operations reach it.
namespace velmora::detail {

/// The progress download form: the task's record filled, the digest checked while the bytes are
/// written when `md5` is given, and `bytes` hearing the file's byte count as it grows (on the
/// callback queue, at most every 50 ms and once with the last count).
struct DownloadRequest {
    std::string url;
    std::string directoryPath;
    std::string fileName;
    std::optional<std::string> md5;
    /// At most this many bytes (never more than the client's download limit); absent: that limit.
    std::optional<int64_t> maximumSize;
    QelNetworking::ProgressBlock progress;
    QelNetworking::DownloadSuccessBlock success;
    QelNetworking::FailureBlock failure;
    std::function<void(int64_t written)> bytes;
};

/// A whole document read on the calling thread. It shares the client's connections and its
/// retry policy but none of its limits, time-outs or headers: those are the request's own.
struct DocumentRequest {
    std::string url;
    /// The most bytes of body once decoded (compressed answers are asked for); 0 or less: none.
    int64_t maximumSize = 0;
    /// Seconds one try may take as a whole; 0 or less: no limit.
    int32_t timeout = 0;
    /// Seconds without any data, or to connect, that end a try.
    int32_t idleTimeout = 60;
};

/// What a document read brought: the last try's answer. An HTTP error status is no error here;
/// the caller decides what the status means. A read cut by the client's cancel operations ends
/// with "NSURLErrorDomain" -999.
struct Document {
    /// Absent when no answer came.
    QelURLResponsePtr response;
    QelBytes body;
    /// The transport's failure: no connection, time-out, over the size limit, cancelled.
    QelErrorPtr error;
};

class Transport {
  public:
    using SuccessBlock = QelNetworking::SuccessBlock;
    using FailureBlock = QelNetworking::FailureBlock;

    virtual ~Transport() = default;

    /// As `QelNetworking::getWithURL`. `maxBytes` above 0 lowers the client's answer limit for
    /// this one request: a larger answer fails unread, as any answer over the limit does.
    virtual QelURLSessionTaskPtr get(const std::string& url,
                                     const std::optional<QelNetworking::Parameters>& parameters,
                                     int64_t maxBytes, SuccessBlock success,
                                     FailureBlock failure) = 0;
    /// As `QelNetworking::postWithURL`, with `maxBytes` as for `get`; a POST that only `reads`
    /// falls under the retry policy as a GET does.
    virtual QelURLSessionTaskPtr post(const std::string& url, const Json& parameters, bool reads,
                                      int64_t maxBytes, SuccessBlock success,
                                      FailureBlock failure) = 0;
    /// As `QelNetworking::multipartWithURL`.
    virtual QelURLSessionTaskPtr multipart(const std::string& url, const Json& parameters,
                                           const std::vector<QelMultipartFormModel>& parts,
                                           SuccessBlock success, FailureBlock failure) = 0;
    virtual QelURLSessionTaskPtr download(DownloadRequest request) = 0;
    /// Blocks until the document has come or the last try has failed; the wait is bounded by
    /// the request's time-outs and the retry policy's tries and deadline.
    virtual Document read(const DocumentRequest& request) = 0;
};

/// The transport of the shared client (made on first use, as `QelNetworking::sharedInstance`);
/// holding it keeps that client alive.
std::shared_ptr<Transport> sharedTransport();

}  // namespace velmora::detail

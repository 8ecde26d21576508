#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/json.h"
#include "velmora/retry_policy.h"

namespace velmora {

namespace detail {
struct NetworkingAccess;
}  // namespace detail

class QelNetworking;

/// Bytes of a request or response body.
using QelBytes = std::vector<uint8_t>;

/// What arrived of an HTTP answer: the final URL (after redirects), the status and the headers of
/// the final response.
class VELMORA_EXPORT QelHTTPURLResponse {
  public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    QelHTTPURLResponse(std::string url, int64_t statusCode, Headers headers);

    const std::string& URL() const { return url_; }
    int64_t statusCode() const { return statusCode_; }
    const Headers& allHeaderFields() const { return headers_; }
    /// The first header of that name, compared without regard to case; absent when missing.
    std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const;

  private:
    std::string url_;
    int64_t statusCode_;
    Headers headers_;
};

using QelURLResponsePtr = std::shared_ptr<const QelHTTPURLResponse>;

/// A running (or finished) request of the shared session. The transfer starts when the
/// `QelNetworking` operation returns the task; `cancel` ends it with the cancellation error
/// (domain "NSURLErrorDomain", code -999), delivered to the task's failure callback. Only the
/// session makes tasks.
///
/// The per-task record of the progress download form (`QelCommon`: `filePath`, `progressBlock`,
/// `successBlock`, `failureBlock`) lives here, owned by the task. Its accessors are thread-safe.
class VELMORA_EXPORT QelURLSessionTask : public std::enable_shared_from_this<QelURLSessionTask> {
  public:
    using ProgressBlock = std::function<void(const std::string& progress)>;
    using SuccessBlock = std::function<void(const std::string& fileURL)>;
    using FailureBlock = std::function<void(const QelErrorPtr& error)>;

    enum class State { Running, Canceling, Completed };

    virtual ~QelURLSessionTask();
    QelURLSessionTask(const QelURLSessionTask&) = delete;
    QelURLSessionTask& operator=(const QelURLSessionTask&) = delete;

    /// Unique within the process.
    virtual uint64_t taskIdentifier() const = 0;
    /// The request URL as sent, in its absolute text form.
    virtual const std::string& currentURL() const = 0;
    virtual State state() const = 0;
    virtual void cancel() = 0;

    // QelCommon
    std::string filePath() const;
    void setFilePath(const std::string& filePath);
    ProgressBlock progressBlock() const;
    void setProgressBlock(ProgressBlock block);
    SuccessBlock successBlock() const;
    void setSuccessBlock(SuccessBlock block);
    FailureBlock failureBlock() const;
    void setFailureBlock(FailureBlock block);

  protected:
    QelURLSessionTask();

  private:
    /// Heard by the session, which reports progress only while someone listens.
    virtual void progressBlockChanged(bool set);

    mutable std::mutex recordMutex_;
    std::string filePath_;
    ProgressBlock progressBlock_;
    SuccessBlock successBlock_;
    FailureBlock failureBlock_;
};

using QelURLSessionTaskPtr = std::shared_ptr<QelURLSessionTask>;

/// One part of a multipart form. `type` 0 is a plain field, 1 a file field; any other value is
/// left out of the body.
class VELMORA_EXPORT QelMultipartFormModel {
  public:
    uint64_t type = 0;
    std::string name;
    std::string fileName;
    std::string mimeType;
    /// Shared, not copied; absent sends an empty part.
    std::shared_ptr<const QelBytes> data;
};

/// The system's one HTTP client: one session (a single connection pool driven by one I/O
/// thread), a registry of running tasks under a lock, and the rule that turns a cloud answer
/// into a JSON value or an error record.
///
/// Every callback runs on the session's callback queue (at most 8 at once, never on the caller's
/// thread and never while the registry lock is held); the callbacks of one task run one after
/// another. Exactly one of success and failure is called per request. Transport failures carry
/// the domain "NSURLErrorDomain" (-999 cancelled, -1001 timed out, -1003 host not found, -1004
/// cannot connect, -1005 connection lost, -1011 bad server response, -1200 TLS failure, -1
/// other) with libcurl's text as message; file errors of downloads "NSPOSIXErrorDomain".
///
/// Connections are kept alive and reused, at most 6 per host. Over https the client offers
/// HTTP/2 (ALPN); a host whose answers come over HTTP/2 gets up to `maximumConcurrentStreams`
/// transfers in flight at once (100 by default), as streams on as few connections as the
/// server's own stream limit allows, never more than 6 (a server's GOAWAY moves the rest to a
/// new connection; a server that allows no stream fails each request at once). Other hosts, plain
/// http ones among them, get 6 transfers in flight, one a connection, as does an https host until a
/// connection to it has agreed on a protocol. None of that changes how many callbacks run at once.
/// Further requests to a host wait in the session's queue without holding a connection or, for
/// downloads, an open file. The request time-out ends a transfer after that many seconds without
/// data; the download time-out bounds a whole transfer from the moment it gets a slot (a stream
/// over HTTP/2: a server whose stream limit, times 6 connections, is below
/// `maximumConcurrentStreams` keeps the others waiting for a stream within that bound). Both, and
/// the stream limit, are read when the shared instance is created; each stream keeps its own time
/// limits and retries, so a stalled stream does not hold the others on its connection.
///
/// Certificates of https servers are checked against the system's store, or, once set, against
/// `trustedCertificatesFile` and `trustedCertificatesDirectory` only (for hosts behind a
/// company's CA, and for tests). The trust is read when each request starts and applies to every
/// request, downloads and the item list read included. A certificate that is not trusted fails
/// the request with "NSURLErrorDomain" -1200.
///
/// Answers are bounded. A data task keeps at most `maximumResponseSize` bytes of body (default
/// 64 MiB) and a download writes at most `maximumDownloadSize` bytes (default 512 MiB, or less when
/// the caller names the size to expect); a longer answer, announced or not, fails the task with
/// "NSURLErrorDomain" -1103 and leaves no file. A JSON answer nested deeper than 128 levels is
/// read as one that is not JSON. The sizes are read when a request starts; 0 or less lifts the
/// limit. A redirect from https goes to https only. Tokens in URLs that the SDK logs or puts into
/// an error's text read "token=<redacted>"; the request itself carries them unchanged.
///
/// A callback that throws is logged once with its task's identity; the exception goes no further
/// and the task's clean-up (its registry entry) still happens.
class VELMORA_EXPORT QelNetworking : public std::enable_shared_from_this<QelNetworking> {
  public:
    using SuccessBlock = std::function<void(const Json& responseObject)>;
    using FailureBlock = std::function<void(const QelErrorPtr& error)>;
    using ProgressBlock = QelURLSessionTask::ProgressBlock;
    using DownloadSuccessBlock = QelURLSessionTask::SuccessBlock;
    /// Query parameters of a GET, in their key order.
    using Parameters = std::map<std::string, std::string>;

    ~QelNetworking();
    QelNetworking(const QelNetworking&) = delete;
    QelNetworking& operator=(const QelNetworking&) = delete;

    static std::shared_ptr<QelNetworking> sharedInstance();
    /// Drops the shared instance; running transfers finish and their callbacks still fire.
    static void destroy();

    static void setTimeoutForRequest(int32_t seconds);
    static int32_t timeoutForRequest();
    static void setTimeoutForDownload(int32_t seconds);
    static int32_t timeoutForDownload();
    static void setShowResponseLog(bool show);
    static bool showResponseLog();

    static constexpr int64_t kDefaultMaximumResponseSize = 64LL * 1024 * 1024;
    static constexpr int64_t kDefaultMaximumDownloadSize = 512LL * 1024 * 1024;
    /// The most bytes of body a GET, POST, multipart or upload request accepts.
    static void setMaximumResponseSize(int64_t bytes);
    static int64_t maximumResponseSize();
    /// The most bytes a download writes when its caller names no smaller size.
    static void setMaximumDownloadSize(int64_t bytes);
    static int64_t maximumDownloadSize();
    /// The policy for requests started afterwards; absent (the default) fails at the first error.
    /// `setRetryPolicy(QelRetryPolicy::defaultPolicy())` switches retries and resuming on.
    static void setRetryPolicy(std::optional<QelRetryPolicy> policy);
    static std::optional<QelRetryPolicy> retryPolicy();

    static constexpr int32_t kDefaultMaximumConcurrentStreams = 100;
    static constexpr int32_t kMaximumConcurrentStreamsBound = 1000;
    /// Transfers in flight at once to one HTTP/2 host, 1 to 1000 (other values are brought into
    /// that range); read when the shared instance is created.
    static void setMaximumConcurrentStreams(int32_t streams);
    static int32_t maximumConcurrentStreams();
    /// A PEM file of CA certificates that https servers are checked against instead of the
    /// system's store; "" (the default) trusts the system's store unless a directory is set.
    static void setTrustedCertificatesFile(const std::string& path);
    static std::string trustedCertificatesFile();
    /// A directory of CA certificates named by their subject hash (as `openssl rehash` leaves
    /// them), trusted as the file is, and with it when both are set.
    static void setTrustedCertificatesDirectory(const std::string& path);
    static std::string trustedCertificatesDirectory();

    QelURLSessionTaskPtr getWithURL(const std::string& url,
                                    const std::optional<Parameters>& parameters,
                                    SuccessBlock success, FailureBlock failure);
    /// The parameters go as pretty-printed JSON; an absent or unserialisable value sends no body.
    QelURLSessionTaskPtr postWithURL(const std::string& url, const Json& parameters,
                                     SuccessBlock success, FailureBlock failure);

    /// The response rule: a transport error or a missing body fails with that error; otherwise a
    /// non-zero "code" in the JSON body fails with a "NSCocoaErrorDomain" record, and anything
    /// else succeeds with the parsed body (absent when it is not JSON). The HTTP status takes no
    /// part. `parameters` are only printed in the response report.
    void handleRequestResultWithResponse(const QelURLResponsePtr& response,
                                         const std::optional<QelBytes>& data,
                                         const Json& parameters, const QelErrorPtr& error,
                                         const SuccessBlock& success,
                                         const FailureBlock& failure) const;

    /// Pretty-printed JSON text, or absent (after a "Got an error: %@" system-log line).
    std::optional<std::string> transformationToString(const Json& value) const;

    /// Cancels the first registered task whose URL ends with `url`.
    void cancelHttpRequestWithURL(const std::optional<std::string>& url);
    void cancelAllHttpRequests();
    /// Runs the operation under the registry lock, which is not re-entrant.
    void safeLock(const std::function<void()>& operation);
    /// A snapshot of the registry, taken under its lock.
    std::vector<QelURLSessionTaskPtr> tasksArray();

    /// The multipart body with the fixed boundary "boundaryInInQelORVIniOS".
    static QelBytes getHttpBodyWithFormModels(const std::vector<QelMultipartFormModel>& formModels);
    /// `parameters` appear only in the response report, never on the wire.
    QelURLSessionTaskPtr multipartWithURL(const std::string& url, const Json& parameters,
                                          const std::vector<QelMultipartFormModel>& formModels,
                                          SuccessBlock success, FailureBlock failure);
    QelURLSessionTaskPtr uploadFileWithURL(const std::string& url, const QelBytes& fileData,
                                           SuccessBlock success, FailureBlock failure);

    /// Streams the answer into a temporary file beside the target and renames it over
    /// `directoryPath`/`fileName` when complete, so a file at the target is always a whole
    /// download. The directory must exist. A directory at the target is never replaced: the
    /// download fails with EISDIR. A final HTTP status of 400 or more fails with
    /// "NSURLErrorDomain" -1011 and leaves the target untouched. Success receives the target's
    /// file URL text; progress the fraction written as "%.4f".
    QelURLSessionTaskPtr downloadWithURL(const std::string& url, const std::string& directoryPath,
                                         const std::string& fileName, ProgressBlock progress,
                                         DownloadSuccessBlock success, FailureBlock failure);
    QelURLSessionTaskPtr downloadWithURL(const std::string& url, const std::string& directoryPath,
                                         const std::string& fileName, DownloadSuccessBlock success,
                                         FailureBlock failure);
    /// The progress form for a file whose size is known beforehand: more than `maximumSize`
    /// bytes (never more than `maximumDownloadSize`) fails the download; absent is the default.
    QelURLSessionTaskPtr downloadWithURL(const std::string& url, const std::string& directoryPath,
                                         const std::string& fileName,
                                         std::optional<int64_t> maximumSize, ProgressBlock progress,
                                         DownloadSuccessBlock success, FailureBlock failure);
    /// The form for a file that must have the MD5 value `md5` (32 lowercase hex digits): the
    /// digest is taken while the bytes are written, and a file without it never reaches the
    /// target, which stays as it was. Such a failure is "NSCocoaErrorDomain" 999999
    /// "MD5值比对不一致" with the two values under "QelExpectedMD5" and "QelReceivedMD5".
    /// `maximumSize` bounds the body as in the form above.
    QelURLSessionTaskPtr downloadWithURL(const std::string& url, const std::string& directoryPath,
                                         const std::string& fileName, const std::string& md5,
                                         std::optional<int64_t> maximumSize, ProgressBlock progress,
                                         DownloadSuccessBlock success, FailureBlock failure);

  private:
    /// Hands the SDK's own layers the client's internal transport.
    friend struct detail::NetworkingAccess;
    struct Private;
    QelNetworking();

    std::unique_ptr<Private> d_;
};

}  // namespace velmora

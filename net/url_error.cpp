#include "net/url_error.h"

#include "net/curl_handles.h"
#include "net/url_encoding.h"

namespace velmora::detail {

int64_t urlErrorCode(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return QelURLErrorTimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return QelURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return QelURLErrorCannotConnectToHost;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return QelURLErrorNetworkConnectionLost;
        case CURLE_FILESIZE_EXCEEDED:
            return QelURLErrorDataLengthExceedsMaximum;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return QelURLErrorBadServerResponse;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return QelURLErrorSecureConnectionFailed;
        default:
            return QelURLErrorUnknown;
    }
}

QelErrorPtr makeURLError(int64_t code, const std::string& message, const std::string& url) {
    // Error texts reach logs and hosts' crash reports; the token is a credential.
    QelError::UserInfo info{{kNSLocalizedDescriptionKey, redactTokens(message)}};
    if (!url.empty()) info.emplace("NSErrorFailingURLStringKey", redactTokens(url));
    return std::make_shared<const QelError>(kNSURLErrorDomain, code, std::move(info));
}

QelErrorPtr cancellationError() {
    return makeURLError(QelURLErrorCancelled, "cancelled", std::string());
}

QelErrorPtr makeURLError(CURLcode code, const char* errorBuffer, const std::string& url) {
    std::string message = errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(code);
    return makeURLError(urlErrorCode(code), message, url);
}

QelErrorPtr withAnswerFacts(const QelErrorPtr& error, const AnswerFacts& facts) {
    if (!error) return error;
    QelError::UserInfo info = error->userInfo();
    if (facts.cloudCode) info[kQelCloudCodeKey] = std::to_string(*facts.cloudCode);
    if (facts.httpStatus > 0) info[kQelHTTPStatusKey] = std::to_string(facts.httpStatus);
    // A header is the answer's to choose; the entry keeps a sane head of it.
    constexpr size_t kMaxRequestIdBytes = 256;
    if (!facts.requestId.empty())
        info[kQelRequestIDKey] = facts.requestId.substr(0, kMaxRequestIdBytes);
    return std::make_shared<const QelError>(error->domain(), error->code(), std::move(info));
}

}  // namespace velmora::detail

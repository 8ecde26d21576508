#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/cancellation.h"
#include "velmora/cloud_service.h"

// The one way a tokened call reaches the cloud: the token as the query parameter "token", the
// send, and the token renewal on the two token codes.
namespace velmora::detail {

/// A tokened call: where it goes and what it carries besides the token.
struct AuthorisedRequest {
    enum class Method { Get, Post, Multipart };
    Method method = Method::Get;
    /// Below the API prefix, which is read again for every send.
    std::string path;
    /// The query of a GET besides the token.
    QelNetworking::Parameters parameters;
    /// The JSON body of a POST; for a multipart body, the parameters of the response report.
    Json body = Json::object();
    std::vector<QelMultipartFormModel> parts;
    /// A POST that only reads: the retry policy repeats it as it repeats a GET.
    bool idempotent = false;
    /// Above 0: the most bytes of answer this call reads (a GET or POST), below the shared limit.
    int64_t maxAnswerBytes = 0;
    /// Cancels the request in flight (its failure gets -999); a cancelled call sends nothing more.
    QelCancellationTokenPtr cancellation;
};

/// Runs an action when a token is cancelled, until the work it guards has answered. The answer
/// may come before `attach` returns; either order leaves no handler behind.
class CancelHook {
  public:
    explicit CancelHook(QelCancellationTokenPtr token) : token_(std::move(token)) {}

    /// At once, on this thread, when the token is already cancelled.
    void attach(std::function<void()> onCancel);
    void answered();

  private:
    const QelCancellationTokenPtr token_;
    std::mutex mutex_;
    uint64_t id_ = 0;
    bool answered_ = false;
};

/// A text field of a multipart body.
QelMultipartFormModel textPart(const std::string& name, std::string_view text);
/// A PNG file field of a multipart body.
QelMultipartFormModel pngPart(const std::string& name, const std::string& fileName, QelBytes png);

/// "?token=<token>": the token encoded as the HTTP client encodes a GET's parameters, so the
/// cloud sees the same text whichever method carried it.
std::string tokenQuery(const std::string& token);

/// True for the two codes on which the token is renewed (100000, 100101).
bool isTokenCode(const QelErrorPtr& error);

/// A new record with the error's code narrowed to 32 bits and `message`; the cloud code, HTTP
/// status and request id entries of the error go with it.
QelErrorPtr narrowedError(const QelErrorPtr& error, const std::string& message);

/// Sends the call once with the token held now; the failure gets the error as it came.
void sendTokened(const std::shared_ptr<QelCloudService>& service, const AuthorisedRequest& request,
                 QelNetworking::SuccessBlock success, QelNetworking::FailureBlock failure);

/// Token renewal for one service. Callers whose token the cloud refused share one token
/// request: whoever finds a request running waits for its answer, and whoever finds the refused
/// token already replaced goes on with the new one at once.
class TokenRenewal {
  public:
    using Done = std::function<void(const QelErrorPtr& tokenError)>;

    /// Calls `done` once, with no error when a token other than `refused` is held afterwards.
    void renew(const std::shared_ptr<QelCloudService>& service, const std::string& refused,
               Done done);

    /// The renewal step of a failed call: on a token code, while the call has made fewer than
    /// `QelCloudService::kMaxTokenRenewals` renewals, renews and calls `retry`; otherwise calls
    /// `failed` with the operation's text ("%@ 重新获取Token出错,%@" or "%@ 出错,%@").
    void regainToken(const std::shared_ptr<QelCloudService>& service, const QelErrorPtr& error,
                     const std::string& methodName, const std::string& refused, int renewals,
                     std::function<void()> retry, QelCloudService::ErrorBlock failed);

    /// Sends the call, renewing as above and sending it again with each new token. The failure
    /// gets the operation's text.
    void send(const std::shared_ptr<QelCloudService>& service, AuthorisedRequest request,
              std::string methodName, QelNetworking::SuccessBlock success,
              QelCloudService::ErrorBlock failure);

  private:
    struct Pending;

    std::mutex mutex_;
    std::shared_ptr<Pending> pending_;  // the token request in flight, if any
};

}  // namespace velmora::detail

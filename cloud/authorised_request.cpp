#include "cloud/authorised_request.h"

#include "core/format.h"
#include "net/transport.h"
#include "net/url_encoding.h"
#include "net/url_error.h"
#include "velmora/tool.h"

namespace velmora::detail {
namespace {

QelURLSessionTaskPtr startRequest(Transport& net, const std::string& url,
                                  const AuthorisedRequest& request, const std::string& token,
                                  QelNetworking::SuccessBlock success,
                                  QelNetworking::FailureBlock failure) {
    switch (request.method) {
        case AuthorisedRequest::Method::Get: {
            QelNetworking::Parameters parameters = request.parameters;
            parameters["token"] = token;
            return net.get(url, parameters, request.maxAnswerBytes, std::move(success),
                           std::move(failure));
        }
        case AuthorisedRequest::Method::Post:
            return net.post(url + tokenQuery(token), request.body, request.idempotent,
                            request.maxAnswerBytes, std::move(success), std::move(failure));
        case AuthorisedRequest::Method::Multipart:
            return net.multipart(url + tokenQuery(token), request.body, request.parts,
                                 std::move(success), std::move(failure));
    }
    return nullptr;
}

void sendWithToken(const std::shared_ptr<QelCloudService>& service,
                   const AuthorisedRequest& request, const std::string& token,
                   QelNetworking::SuccessBlock success, QelNetworking::FailureBlock failure) {
    const std::string url = service->apiBasePathPrefix() + request.path;
    const std::shared_ptr<Transport> net = sharedTransport();
    if (!request.cancellation) {
        startRequest(*net, url, request, token, std::move(success), std::move(failure));
        return;
    }
    if (request.cancellation->isCancelled()) {
        if (failure) failure(cancellationError());
        return;
    }
    auto hook = std::make_shared<CancelHook>(request.cancellation);
    const QelURLSessionTaskPtr task = startRequest(
        *net, url, request, token,
        [hook, success = std::move(success)](const Json& value) {
            hook->answered();
            if (success) success(value);
        },
        [hook, failure = std::move(failure)](const QelErrorPtr& error) {
            hook->answered();
            if (failure) failure(error);
        });
    if (task)
        hook->attach([weak = std::weak_ptr(task)] {
            if (auto running = weak.lock()) running->cancel();
        });
}

// One call on its way: sent again with each renewed token until it ends.
struct Call : std::enable_shared_from_this<Call> {
    std::shared_ptr<QelCloudService> service;
    TokenRenewal* renewal = nullptr;  // the service's own, kept alive with it
    AuthorisedRequest request;
    std::string methodName;
    QelNetworking::SuccessBlock success;
    QelCloudService::ErrorBlock failure;
    int renewals = 0;  // touched only by the one step of the call that runs

    void send() {
        const std::string token = service->token();
        auto self = shared_from_this();
        sendWithToken(service, request, token, success, [self, token](const QelErrorPtr& error) {
            self->renewal->regainToken(
                self->service, error, self->methodName, token, self->renewals,
                [self] {
                    ++self->renewals;
                    self->send();
                },
                self->failure);
        });
    }
};

}  // namespace

void CancelHook::attach(std::function<void()> onCancel) {
    const uint64_t id = token_->addHandler(std::move(onCancel));
    std::lock_guard lock(mutex_);
    if (answered_)
        token_->removeHandler(id);
    else
        id_ = id;
}

void CancelHook::answered() {
    std::lock_guard lock(mutex_);
    answered_ = true;
    if (id_) token_->removeHandler(id_);
}

QelMultipartFormModel textPart(const std::string& name, std::string_view text) {
    QelMultipartFormModel part;
    part.type = 0;
    part.name = name;
    part.data = std::make_shared<const QelBytes>(text.begin(), text.end());
    return part;
}

QelMultipartFormModel pngPart(const std::string& name, const std::string& fileName, QelBytes png) {
    QelMultipartFormModel part;
    part.type = 1;
    part.name = name;
    part.fileName = fileName;
    part.mimeType = "image/png";
    part.data = std::make_shared<const QelBytes>(std::move(png));
    return part;
}

std::string tokenQuery(const std::string& token) {
    return "?token=" + percentEncodeQuery(token);
}

bool isTokenCode(const QelErrorPtr& error) {
    return error && (error->code() == 100000 || error->code() == 100101);
}

QelErrorPtr narrowedError(const QelErrorPtr& error, const std::string& message) {
    const int64_t code = error ? error->code() : QelErrorCodeFailure;
    QelError::UserInfo info;
    if (error) {
        for (const char* key : {kQelCloudCodeKey, kQelHTTPStatusKey, kQelRequestIDKey}) {
            const auto found = error->userInfo().find(key);
            if (found != error->userInfo().end()) info.insert(*found);
        }
    }
    info[kNSLocalizedDescriptionKey] = message;
    return std::make_shared<const QelError>(kNSCocoaErrorDomain, static_cast<int32_t>(code),
                                            std::move(info));
}

void sendTokened(const std::shared_ptr<QelCloudService>& service, const AuthorisedRequest& request,
                 QelNetworking::SuccessBlock success, QelNetworking::FailureBlock failure) {
    sendWithToken(service, request, service->token(), std::move(success), std::move(failure));
}

struct TokenRenewal::Pending {
    std::shared_ptr<QelCloudServiceAuth> auth;  // a setup meanwhile needs a token of its own
    std::vector<Done> waiting;
};

void TokenRenewal::renew(const std::shared_ptr<QelCloudService>& service,
                         const std::string& refused, Done done) {
    const auto auth = service->authConfig();
    std::shared_ptr<Pending> started;
    {
        std::lock_guard lock(mutex_);
        // Checked under the lock: a token renewed meanwhile serves this caller too.
        const std::string held = auth->token();
        if (held.empty() || held == refused) {
            if (pending_ && pending_->auth == auth) {
                pending_->waiting.push_back(std::move(done));
                return;
            }
            pending_ = std::make_shared<Pending>();
            pending_->auth = auth;
            pending_->waiting.push_back(std::move(done));
            started = pending_;
        }
    }
    if (!started) {
        // NOLINTNEXTLINE(bugprone-use-after-move): moved only on the paths that set `started`
        if (done) done(nullptr);
        return;
    }
    service->getTokenWithCompletion(
        [this, service, started](const QelErrorPtr& error, const std::optional<std::string>&) {
            std::vector<Done> waiting;
            {
                std::lock_guard lock(mutex_);
                if (pending_ == started) pending_.reset();
                waiting.swap(started->waiting);
            }
            for (const Done& waiter : waiting)
                if (waiter) waiter(error);
        });
}

void TokenRenewal::regainToken(const std::shared_ptr<QelCloudService>& service,
                               const QelErrorPtr& error, const std::string& methodName,
                               const std::string& refused, int renewals,
                               std::function<void()> retry, QelCloudService::ErrorBlock failed) {
    // A cloud that keeps rejecting fresh tokens would otherwise make the call loop for ever.
    if (isTokenCode(error) && renewals < QelCloudService::kMaxTokenRenewals) {
        renew(service, refused,
              [methodName, retry = std::move(retry),
               failed = std::move(failed)](const QelErrorPtr& tokenError) {
                  if (!tokenError) {
                      if (retry) retry();
                      return;
                  }
                  if (failed)
                      failed(narrowedError(
                          tokenError,
                          formatMessage("%@ 重新获取Token出错,%@",
                                        {methodName, QelTool::errorMessage(tokenError)})));
              });
        return;
    }
    if (failed)
        failed(narrowedError(
            error, formatMessage("%@ 出错,%@", {methodName, QelTool::errorMessage(error)})));
}

void TokenRenewal::send(const std::shared_ptr<QelCloudService>& service, AuthorisedRequest request,
                        std::string methodName, QelNetworking::SuccessBlock success,
                        QelCloudService::ErrorBlock failure) {
    auto call = std::make_shared<Call>();
    call->service = service;
    call->renewal = this;
    call->request = std::move(request);
    call->methodName = std::move(methodName);
    call->success = std::move(success);
    call->failure = std::move(failure);
    call->send();
}

}  // namespace velmora::detail

#include "velmora/networking.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "json/bounded_text.h"
#include "json/json_intake.h"
#include "net/retry_policy.h"
#include "net/session.h"
#include "net/transport.h"
#include "net/url_encoding.h"
#include "net/url_error.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

constexpr const char* kBoundary = "boundaryInInQelORVIniOS";

std::atomic<int32_t> gTimeoutForRequest{60};
std::atomic<int32_t> gTimeoutForDownload{60};
std::atomic<bool> gShowResponseLog{false};
std::atomic<int64_t> gMaximumResponseSize{QelNetworking::kDefaultMaximumResponseSize};
std::atomic<int64_t> gMaximumDownloadSize{QelNetworking::kDefaultMaximumDownloadSize};

std::mutex gRetryPolicyMutex;
std::optional<QelRetryPolicy> gRetryPolicy;

std::atomic<int32_t> gMaximumConcurrentStreams{QelNetworking::kDefaultMaximumConcurrentStreams};

std::mutex gTrustMutex;
std::string gTrustedCertificatesFile;
std::string gTrustedCertificatesDirectory;

// Every request, whatever its form, is checked against the trust in force when it starts.
void applyTrust(detail::TaskCore& core) {
    std::lock_guard lock(gTrustMutex);
    core.trustedFile = gTrustedCertificatesFile;
    core.trustedDirectory = gTrustedCertificatesDirectory;
}

// A limit of 0 or less is no limit, which the session spells as a negative one.
int64_t effectiveLimit(int64_t limit) {
    return limit > 0 ? limit : -1;
}

std::mutex& sharedMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

// Never destroyed: a session torn down during static destruction would race the exit.
std::shared_ptr<QelNetworking>& sharedStorage() {
    static auto* storage = new std::shared_ptr<QelNetworking>();
    return *storage;
}

// An integer as the platform reads one from a number or numeric text: leading blanks, a sign,
// digits; anything else counts as 0.
int64_t integerValue(const Json& value) {
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        return v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : static_cast<int64_t>(v);
    }
    if (value.is_number_float()) {
        double v = value.get<double>();
        if (std::isnan(v)) return 0;
        if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(v);
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (!value.is_string()) return 0;
    const std::string& text = value.get_ref<const std::string&>();
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t result = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int digit = text[i] - '0';
        if (result > (std::numeric_limits<int64_t>::max() - digit) / 10)
            return negative ? std::numeric_limits<int64_t>::min()
                            : std::numeric_limits<int64_t>::max();
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}

// The parameters as the response report prints them: a GET's token is one of them.
std::string reportedParameters(const Json& parameters) {
    const Json& token = jsonMemberRef(parameters, "token");
    if (!token.is_string() || token.get_ref<const std::string&>().empty())
        return jsonDescription(parameters);
    Json redacted = parameters;
    redacted["token"] = "<redacted>";
    return jsonDescription(redacted);
}

std::string orNull(const std::optional<std::string>& text) {
    return text ? *text : "(null)";
}

// Replaces whatever is at the target by the finished temporary file in one rename; a directory
// in the way has to go first. On success the temporary file is gone, which the task notes.
QelErrorPtr moveIntoPlace(const QelURLSessionTask& task, const std::string& location,
                          const std::string& target) {
    detail::TaskCore& core = detail::TaskAccess::core(task);
    if (location == target) {  // the session could name it so: nothing was there
        core.temporaryMoved = true;
        return nullptr;
    }
    // Most targets are new: a rename that refuses to replace finds out without a look first.
    bool moved =
        ::renameat2(AT_FDCWD, location.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    if (!moved && errno != EEXIST && errno != EINVAL && errno != ENOSYS)
        return makePOSIXError(errno);
    if (!moved) {
        std::error_code ec;
        auto status = std::filesystem::symlink_status(target, ec);
        // A directory is never the download's to remove: its contents are someone else's.
        if (!ec && std::filesystem::is_directory(status)) return makePOSIXError(EISDIR);
        if (!ec && std::filesystem::exists(status)) platform::systemLog("已经存在了，先移除！！！");
        if (::rename(location.c_str(), target.c_str()) != 0) return makePOSIXError(errno);
    }
    core.temporaryMoved = true;
    return nullptr;
}

}  // namespace

// ---- QelHTTPURLResponse ----

QelHTTPURLResponse::QelHTTPURLResponse(std::string url, int64_t statusCode, Headers headers)
    : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

std::optional<std::string> QelHTTPURLResponse::valueForHTTPHeaderField(
    const std::string& name) const {
    const std::string* value = detail::headerValue(headers_, name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

// ---- QelURLSessionTask ----

QelURLSessionTask::QelURLSessionTask() = default;
QelURLSessionTask::~QelURLSessionTask() = default;
void QelURLSessionTask::progressBlockChanged(bool) {}

namespace detail {

uint64_t SessionTask::taskIdentifier() const {
    return core_->identifier;
}
const std::string& SessionTask::currentURL() const {
    return core_->url;
}
QelURLSessionTask::State SessionTask::state() const {
    return static_cast<State>(core_->state.load());
}
void SessionTask::cancel() {
    core_->session->cancel(shared_from_this());
}
void SessionTask::progressBlockChanged(bool set) {
    core_->progressHeard.store(set || core_->bytesObserved);
}

}  // namespace detail

std::string QelURLSessionTask::filePath() const {
    std::lock_guard lock(recordMutex_);
    return filePath_;
}
void QelURLSessionTask::setFilePath(const std::string& filePath) {
    std::lock_guard lock(recordMutex_);
    filePath_ = filePath;
}
QelURLSessionTask::ProgressBlock QelURLSessionTask::progressBlock() const {
    std::lock_guard lock(recordMutex_);
    return progressBlock_;
}
void QelURLSessionTask::setProgressBlock(ProgressBlock block) {
    std::lock_guard lock(recordMutex_);
    progressBlock_ = std::move(block);
    progressBlockChanged(static_cast<bool>(progressBlock_));
}
QelURLSessionTask::SuccessBlock QelURLSessionTask::successBlock() const {
    std::lock_guard lock(recordMutex_);
    return successBlock_;
}
void QelURLSessionTask::setSuccessBlock(SuccessBlock block) {
    std::lock_guard lock(recordMutex_);
    successBlock_ = std::move(block);
}
QelURLSessionTask::FailureBlock QelURLSessionTask::failureBlock() const {
    std::lock_guard lock(recordMutex_);
    return failureBlock_;
}
void QelURLSessionTask::setFailureBlock(FailureBlock block) {
    std::lock_guard lock(recordMutex_);
    failureBlock_ = std::move(block);
}

// ---- QelNetworking ----

// The client's own state, and the transport that the SDK's layers are handed.
struct QelNetworking::Private final : detail::Transport {
    explicit Private(QelNetworking& owner) : owner(owner) {}

    QelNetworking& owner;
    std::shared_ptr<detail::Session> session;
    dispatch::Semaphore signal{1};
    // Under `signal`. Tasks mostly finish in the order they started, so removal is near the front.
    std::deque<QelURLSessionTaskPtr> tasks;

    void registerTask(const QelURLSessionTaskPtr& task);
    void unregisterTask(const QelURLSessionTask* task);
    /// Registers the task and starts it: registered first, so that its completion finds it.
    void start(const QelURLSessionTaskPtr& task);
    /// A request whose answer goes through the response rule.
    QelURLSessionTaskPtr startDataTask(std::unique_ptr<detail::TaskCore> core,
                                       Json reportParameters, SuccessBlock success,
                                       FailureBlock failure);
    QelURLSessionTaskPtr startDownload(detail::DownloadRequest request, bool withProgressRecord);

    QelURLSessionTaskPtr get(const std::string& url, const std::optional<Parameters>& parameters,
                             int64_t maxBytes, SuccessBlock success, FailureBlock failure) override;
    QelURLSessionTaskPtr post(const std::string& url, const Json& parameters, bool reads,
                              int64_t maxBytes, SuccessBlock success,
                              FailureBlock failure) override;
    QelURLSessionTaskPtr multipart(const std::string& url, const Json& parameters,
                                   const std::vector<QelMultipartFormModel>& parts,
                                   SuccessBlock success, FailureBlock failure) override;
    QelURLSessionTaskPtr download(detail::DownloadRequest request) override {
        return startDownload(std::move(request), true);
    }
    detail::Document read(const detail::DocumentRequest& request) override;
};

namespace detail {

struct NetworkingAccess {
    static std::shared_ptr<Transport> transport(const std::shared_ptr<QelNetworking>& client) {
        // Shares the client's ownership: the transport is part of it.
        return {client, client->d_.get()};
    }
};

std::shared_ptr<Transport> sharedTransport() {
    return NetworkingAccess::transport(QelNetworking::sharedInstance());
}

}  // namespace detail

QelNetworking::QelNetworking() : d_(std::make_unique<Private>(*this)) {
    detail::SessionConfig config;
    config.requestTimeout = gTimeoutForRequest.load();
    config.resourceTimeout = gTimeoutForDownload.load();
    config.maxStreamsPerHost = gMaximumConcurrentStreams.load();
    d_->session = detail::Session::create(config);
}

// The last reference goes once `destroy` has dropped the shared instance and every transfer it
// issued has delivered its callbacks; only then does the session stop.
QelNetworking::~QelNetworking() {
    d_->session->invalidate();
}

std::shared_ptr<QelNetworking> QelNetworking::sharedInstance() {
    std::lock_guard lock(sharedMutex());
    auto& storage = sharedStorage();
    if (!storage) storage = std::shared_ptr<QelNetworking>(new QelNetworking());
    return storage;
}

void QelNetworking::destroy() {
    std::shared_ptr<QelNetworking> instance;
    {
        std::lock_guard lock(sharedMutex());
        instance = std::move(sharedStorage());
        sharedStorage().reset();
    }
    if (!instance) return;
    std::deque<QelURLSessionTaskPtr> dropped;
    instance->safeLock([&] { dropped.swap(instance->d_->tasks); });
}

void QelNetworking::setTimeoutForRequest(int32_t seconds) {
    gTimeoutForRequest.store(seconds);
}
int32_t QelNetworking::timeoutForRequest() {
    return gTimeoutForRequest.load();
}
void QelNetworking::setTimeoutForDownload(int32_t seconds) {
    gTimeoutForDownload.store(seconds);
}
int32_t QelNetworking::timeoutForDownload() {
    return gTimeoutForDownload.load();
}
void QelNetworking::setShowResponseLog(bool show) {
    gShowResponseLog.store(show);
}
bool QelNetworking::showResponseLog() {
    return gShowResponseLog.load();
}
void QelNetworking::setMaximumResponseSize(int64_t bytes) {
    gMaximumResponseSize.store(bytes);
}
int64_t QelNetworking::maximumResponseSize() {
    return gMaximumResponseSize.load();
}
void QelNetworking::setMaximumDownloadSize(int64_t bytes) {
    gMaximumDownloadSize.store(bytes);
}
int64_t QelNetworking::maximumDownloadSize() {
    return gMaximumDownloadSize.load();
}

void QelNetworking::safeLock(const std::function<void()>& operation) {
    dispatch::SemaphoreScope scope(d_->signal);
    if (operation) operation();
}

void QelNetworking::setRetryPolicy(std::optional<QelRetryPolicy> policy) {
    std::lock_guard lock(gRetryPolicyMutex);
    gRetryPolicy = policy;
}
std::optional<QelRetryPolicy> QelNetworking::retryPolicy() {
    std::lock_guard lock(gRetryPolicyMutex);
    return gRetryPolicy;
}

void QelNetworking::setMaximumConcurrentStreams(int32_t streams) {
    gMaximumConcurrentStreams.store(
        std::clamp(streams, int32_t{1}, kMaximumConcurrentStreamsBound));
}
int32_t QelNetworking::maximumConcurrentStreams() {
    return gMaximumConcurrentStreams.load();
}

void QelNetworking::setTrustedCertificatesFile(const std::string& path) {
    std::lock_guard lock(gTrustMutex);
    gTrustedCertificatesFile = path;
}
std::string QelNetworking::trustedCertificatesFile() {
    std::lock_guard lock(gTrustMutex);
    return gTrustedCertificatesFile;
}
void QelNetworking::setTrustedCertificatesDirectory(const std::string& path) {
    std::lock_guard lock(gTrustMutex);
    gTrustedCertificatesDirectory = path;
}
std::string QelNetworking::trustedCertificatesDirectory() {
    std::lock_guard lock(gTrustMutex);
    return gTrustedCertificatesDirectory;
}

std::vector<QelURLSessionTaskPtr> QelNetworking::tasksArray() {
    std::vector<QelURLSessionTaskPtr> snapshot;
    safeLock([&] { snapshot.assign(d_->tasks.begin(), d_->tasks.end()); });
    return snapshot;
}

void QelNetworking::Private::registerTask(const QelURLSessionTaskPtr& task) {
    owner.safeLock([&] { tasks.push_back(task); });
}

void QelNetworking::Private::unregisterTask(const QelURLSessionTask* task) {
    owner.safeLock([&] {
        for (auto it = tasks.begin(); it != tasks.end(); ++it) {
            if (it->get() == task) {
                tasks.erase(it);
                break;
            }
        }
    });
}

void QelNetworking::Private::start(const QelURLSessionTaskPtr& task) {
    registerTask(task);
    session->resume(task);
}

void QelNetworking::cancelHttpRequestWithURL(const std::optional<std::string>& url) {
    if (!url || url->empty()) return;
    safeLock([&] {
        for (auto it = d_->tasks.begin(); it != d_->tasks.end(); ++it) {
            if ((*it)->currentURL().ends_with(*url)) {
                (*it)->cancel();  // only queues the cancellation; callbacks come later
                d_->tasks.erase(it);
                break;
            }
        }
    });
}

void QelNetworking::cancelAllHttpRequests() {
    safeLock([&] {
        for (const auto& task : d_->tasks) task->cancel();
        d_->tasks.clear();
    });
}

std::optional<std::string> QelNetworking::transformationToString(const Json& value) const {
    try {
        if (isAbsent(value)) throw std::invalid_argument("no value to serialise");
        return value.dump(2);
    } catch (const std::exception& e) {
        platform::systemLog(std::string("Got an error: ") + e.what());
        return std::nullopt;
    }
}

void QelNetworking::handleRequestResultWithResponse(
    const QelURLResponsePtr& response, const std::optional<QelBytes>& data, const Json& parameters,
    const QelErrorPtr& error, const SuccessBlock& success, const FailureBlock& failure) const {
    std::string url = response ? detail::redactTokens(response->URL()) : "(null)";
    std::string statusCode, requestId, date;
    detail::AnswerFacts facts;
    if (response) {
        statusCode = std::to_string(response->statusCode());
        requestId = orNull(response->valueForHTTPHeaderField("x-request-id"));
        date = orNull(response->valueForHTTPHeaderField("Date"));
        facts.httpStatus = response->statusCode();
        facts.requestId = response->valueForHTTPHeaderField("x-request-id").value_or("");
    }
    bool showLog = gShowResponseLog.load();

    if (error || !data) {
        // A missing body without an error would reach the host as a failure without a record.
        QelErrorPtr reported = error ? error
                                     : detail::makeURLError(QelURLErrorBadServerResponse, "no data",
                                                            response ? url : "");
        if (showLog) {
            platform::writeStandardOutput("\n\n【 VELMORA 接口信息 👉 】 \n url:" + url +
                                          ", \n parameters:" + reportedParameters(parameters) +
                                          ", \n statusCode:" + statusCode +
                                          ", \n x-request-id:" + requestId + ", \n date:" + date +
                                          ", \n 接口报错:" + errorDescription(reported) + "\n");
        }
        if (failure) failure(detail::withAnswerFacts(reported, facts));
        return;
    }

    if (showLog) {
        platform::writeStandardOutput(
            "\n\n【 VELMORA 接口信息 👉 】\n url:" + url +
            ", \n parameters:" + reportedParameters(parameters) + ", \n statusCode:" + statusCode +
            ", \n x-request-id:" + requestId + ", \n date:" + date + ", \n 接口内容:" +
            detail::boundedText(
                std::string_view(reinterpret_cast<const char*>(data->data()), data->size())) +
            "\n");
    }

    // An answer too large or too deep to read is treated as any other that is not JSON.
    jsonintake::Limits limits;
    const int64_t maximum = gMaximumResponseSize.load();
    if (maximum > 0) limits.maxBytes = static_cast<size_t>(maximum);
    Json object =
        jsonintake::parse(
            std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), limits)
            .value;
    Json codeMember = jsonMember(object, "code");
    int64_t code = isAbsent(codeMember) ? 0 : integerValue(codeMember);
    if (code != 0) {
        std::string message = "x-request-id=" + requestId + ",code=" + jsonDescription(codeMember) +
                              ",message=" + jsonDescription(jsonMember(object, "message"));
        facts.cloudCode = code;
        if (failure)
            failure(
                detail::withAnswerFacts(QelError::make(kNSCocoaErrorDomain, code, message), facts));
        return;
    }
    if (success) success(object);
}

namespace {

// A request of the client's own: its limit, lowered for this one request by `maxBytes` above 0,
// and the retry policy when it only reads.
std::unique_ptr<detail::TaskCore> dataCore(std::string url, std::string method,
                                           std::vector<std::string> headers,
                                           std::optional<QelBytes> body, bool reads,
                                           int64_t maxBytes = 0) {
    auto core = std::make_unique<detail::TaskCore>();
    core->kind = detail::TaskCore::Kind::Data;
    core->url = std::move(url);
    core->method = std::move(method);
    core->headers = std::move(headers);
    core->body = std::move(body);
    core->maxBytes = effectiveLimit(gMaximumResponseSize.load());
    if (maxBytes > 0)
        core->maxBytes = core->maxBytes < 0 ? maxBytes : std::min(core->maxBytes, maxBytes);
    if (reads) core->retry = QelNetworking::retryPolicy();
    applyTrust(*core);
    return core;
}

}  // namespace

QelURLSessionTaskPtr QelNetworking::Private::startDataTask(std::unique_ptr<detail::TaskCore> core,
                                                           Json reportParameters,
                                                           SuccessBlock success,
                                                           FailureBlock failure) {
    QelURLSessionTaskPtr task = session->makeTask(std::move(core));
    const QelURLSessionTask* raw = task.get();
    detail::coreOf(task).handlers.didComplete = [self = owner.shared_from_this(), raw,
                                                 parameters = std::move(reportParameters),
                                                 success = std::move(success),
                                                 failure = std::move(failure)](
                                                    const QelURLResponsePtr& response,
                                                    const std::optional<QelBytes>& data,
                                                    const QelErrorPtr& error, const std::string&) {
        const detail::TaskCore& core = detail::TaskAccess::core(*raw);
        bool delivered = false;
        const SuccessBlock onSuccess = [&](const Json& value) {
            delivered = true;
            if (success) detail::callGuarded(core, [&] { success(value); });
        };
        const FailureBlock onFailure = [&](const QelErrorPtr& reported) {
            delivered = true;
            if (failure) detail::callGuarded(core, [&] { failure(reported); });
        };
        try {
            self->handleRequestResultWithResponse(response, data, parameters, error, onSuccess,
                                                  onFailure);
        } catch (const std::exception& e) {
            // Our own reading failed (out of memory): the caller still hears of the request.
            if (!delivered)
                onFailure(QelError::make(kNSCocoaErrorDomain, QelErrorCodeFailure,
                                         std::string("The answer could not be read: ") + e.what()));
        }
        self->d_->unregisterTask(raw);
    };
    start(task);
    return task;
}

QelURLSessionTaskPtr QelNetworking::Private::get(const std::string& url,
                                                 const std::optional<Parameters>& parameters,
                                                 int64_t maxBytes, SuccessBlock success,
                                                 FailureBlock failure) {
    std::string full = detail::percentEncodeQuery(url);
    Json report = absentJson();
    if (parameters) {
        full += '?';
        report = Json::object();
        for (const auto& [key, value] : *parameters) {
            full += detail::percentEncodeQuery(key) + '=' + detail::percentEncodeQuery(value) + '&';
            report[key] = value;
        }
    }
    return startDataTask(dataCore(std::move(full), "GET", {}, std::nullopt, true, maxBytes),
                         std::move(report), std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::Private::post(const std::string& url, const Json& parameters,
                                                  bool reads, int64_t maxBytes,
                                                  SuccessBlock success, FailureBlock failure) {
    std::optional<QelBytes> body;
    if (auto text = owner.transformationToString(parameters))
        body = QelBytes(text->begin(), text->end());
    return startDataTask(
        dataCore(url, "POST", {"Content-Type: application/json"}, std::move(body), reads, maxBytes),
        parameters, std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::Private::multipart(
    const std::string& url, const Json& parameters, const std::vector<QelMultipartFormModel>& parts,
    SuccessBlock success, FailureBlock failure) {
    QelBytes body = getHttpBodyWithFormModels(parts);
    std::vector<std::string> headers{
        std::string("Content-Type: multipart/form-data; boundary=") + kBoundary,
        "Content-Length: " + std::to_string(body.size())};
    return startDataTask(dataCore(detail::percentEncodeFragment(url), "POST", std::move(headers),
                                  std::move(body), false),
                         parameters, std::move(success), std::move(failure));
}

detail::Document QelNetworking::Private::read(const detail::DocumentRequest& request) {
    auto core = std::make_unique<detail::TaskCore>();
    core->kind = detail::TaskCore::Kind::Data;
    core->url = request.url;
    core->maxBytes = effectiveLimit(request.maximumSize);
    core->retry = retryPolicy();
    core->idleTimeout = request.idleTimeout;
    core->totalTimeout = request.timeout;
    core->decodeContent = true;
    core->acceptJson = false;
    applyTrust(*core);

    struct Outcome {
        std::mutex mutex;
        std::condition_variable arrived;
        bool done = false;
        detail::Document document;
    };
    auto outcome = std::make_shared<Outcome>();
    QelURLSessionTaskPtr task = session->makeTask(std::move(core));
    const QelURLSessionTask* raw = task.get();
    detail::coreOf(task).handlers.didComplete = [self = owner.shared_from_this(), raw, outcome](
                                                    const QelURLResponsePtr& response,
                                                    std::optional<QelBytes> data,
                                                    const QelErrorPtr& error, const std::string&) {
        // Out of the registry before the reader goes on, as any request is once answered.
        self->d_->unregisterTask(raw);
        {
            std::lock_guard lock(outcome->mutex);
            outcome->document = {response, data ? std::move(*data) : QelBytes(), error};
            outcome->done = true;
        }
        outcome->arrived.notify_all();
    };
    start(task);
    // The session ends every task, at the latest when its time-outs or its tries run out.
    dispatch::BlockingScope blocking;
    std::unique_lock lock(outcome->mutex);
    outcome->arrived.wait(lock, [&] { return outcome->done; });
    return std::move(outcome->document);
}

QelURLSessionTaskPtr QelNetworking::getWithURL(const std::string& url,
                                               const std::optional<Parameters>& parameters,
                                               SuccessBlock success, FailureBlock failure) {
    return d_->get(url, parameters, 0, std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::postWithURL(const std::string& url, const Json& parameters,
                                                SuccessBlock success, FailureBlock failure) {
    return d_->post(url, parameters, false, 0, std::move(success), std::move(failure));
}

QelBytes QelNetworking::getHttpBodyWithFormModels(
    const std::vector<QelMultipartFormModel>& formModels) {
    QelBytes body;
    auto append = [&body](const std::string& text) {
        body.insert(body.end(), text.begin(), text.end());
    };
    for (const QelMultipartFormModel& model : formModels) {
        if (model.type != 0 && model.type != 1) continue;
        append(std::string("--") + kBoundary + "\r\n");
        if (model.type == 0) {
            append("Content-Disposition: form-data; name=\"" + model.name + "\"\r\n\r\n");
        } else {
            append("Content-Disposition: form-data; name=\"" + model.name + "\";filename=\"" +
                   model.fileName + "\"\r\nContent-Type: " + model.mimeType + "\r\n\r\n");
        }
        if (model.data) body.insert(body.end(), model.data->begin(), model.data->end());
        append("\r\n");
    }
    append(std::string("--") + kBoundary + "--\r\n");
    return body;
}

QelURLSessionTaskPtr QelNetworking::multipartWithURL(
    const std::string& url, const Json& parameters,
    const std::vector<QelMultipartFormModel>& formModels, SuccessBlock success,
    FailureBlock failure) {
    return d_->multipart(url, parameters, formModels, std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::uploadFileWithURL(const std::string& url,
                                                      const QelBytes& fileData,
                                                      SuccessBlock success, FailureBlock failure) {
    return d_->startDataTask(dataCore(url, "POST", {}, fileData, false), absentJson(),
                             std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::Private::startDownload(detail::DownloadRequest request,
                                                           bool withProgressRecord) {
    std::string target = platform::appendPathComponent(request.directoryPath, request.fileName);
    auto core = std::make_unique<detail::TaskCore>();
    core->kind = detail::TaskCore::Kind::Download;
    core->url = request.url;
    core->downloadTarget = target;
    core->downloadMd5 = std::move(request.md5);
    core->retry = retryPolicy();
    core->bytesObserved = static_cast<bool>(request.bytes);
    applyTrust(*core);
    int64_t limit = effectiveLimit(gMaximumDownloadSize.load());
    if (request.maximumSize && *request.maximumSize >= 0)
        limit = limit < 0 ? *request.maximumSize : std::min(limit, *request.maximumSize);
    core->maxBytes = limit;
    QelURLSessionTaskPtr task = session->makeTask(std::move(core));
    QelURLSessionTask* raw = task.get();
    detail::TaskHandlers& handlers = detail::coreOf(task).handlers;
    auto self = owner.shared_from_this();

    if (withProgressRecord) {
        task->setFilePath(target);
        task->setProgressBlock(std::move(request.progress));
        task->setSuccessBlock(std::move(request.success));
        task->setFailureBlock(std::move(request.failure));
        handlers.didWriteData = [raw, bytes = std::move(request.bytes)](int64_t, int64_t written,
                                                                        int64_t expected) {
            if (bytes) detail::callGuarded(detail::TaskAccess::core(*raw), [&] { bytes(written); });
            if (auto block = raw->progressBlock())
                detail::callGuarded(detail::TaskAccess::core(*raw),
                                    [&] { block(detail::progressText(written, expected)); });
        };
        handlers.didFinishDownloading = [raw](const std::string& location,
                                              const QelURLResponsePtr&) {
            std::string path = raw->filePath();
            if (path.empty()) return;
            const detail::TaskCore& core = detail::TaskAccess::core(*raw);
            if (QelErrorPtr error = moveIntoPlace(*raw, location, path)) {
                if (auto block = raw->failureBlock())
                    detail::callGuarded(core, [&] { block(error); });
            } else if (auto block = raw->successBlock()) {
                detail::callGuarded(core, [&] { block(detail::fileURLString(path)); });
            }
        };
        handlers.didComplete = [self, raw](const QelURLResponsePtr&, const std::optional<QelBytes>&,
                                           const QelErrorPtr& error, const std::string&) {
            if (error) {
                if (auto block = raw->failureBlock())
                    detail::callGuarded(detail::TaskAccess::core(*raw), [&] { block(error); });
            }
            self->d_->unregisterTask(raw);
        };
    } else {
        handlers.didComplete = [self, raw, target, success = std::move(request.success),
                                failure = std::move(request.failure)](
                                   const QelURLResponsePtr&, const std::optional<QelBytes>&,
                                   const QelErrorPtr& error, const std::string& location) {
            const detail::TaskCore& core = detail::TaskAccess::core(*raw);
            QelErrorPtr outcome = error ? error : moveIntoPlace(*raw, location, target);
            if (outcome) {
                if (failure) detail::callGuarded(core, [&] { failure(outcome); });
            } else if (success) {
                detail::callGuarded(core, [&] { success(detail::fileURLString(target)); });
            }
            self->d_->unregisterTask(raw);
        };
    }
    start(task);
    return task;
}

namespace {

detail::DownloadRequest downloadRequest(const std::string& url, const std::string& directoryPath,
                                        const std::string& fileName, std::optional<std::string> md5,
                                        std::optional<int64_t> maximumSize,
                                        QelNetworking::ProgressBlock progress,
                                        QelNetworking::DownloadSuccessBlock success,
                                        QelNetworking::FailureBlock failure) {
    return {url,         directoryPath,       fileName,           std::move(md5),
            maximumSize, std::move(progress), std::move(success), std::move(failure),
            nullptr};
}

}  // namespace

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    ProgressBlock progress, DownloadSuccessBlock success, FailureBlock failure) {
    return d_->startDownload(
        downloadRequest(url, directoryPath, fileName, std::nullopt, std::nullopt,
                        std::move(progress), std::move(success), std::move(failure)),
        true);
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    std::optional<int64_t> maximumSize, ProgressBlock progress, DownloadSuccessBlock success,
    FailureBlock failure) {
    return d_->startDownload(
        downloadRequest(url, directoryPath, fileName, std::nullopt, maximumSize,
                        std::move(progress), std::move(success), std::move(failure)),
        true);
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(const std::string& url,
                                                    const std::string& directoryPath,
                                                    const std::string& fileName,
                                                    DownloadSuccessBlock success,
                                                    FailureBlock failure) {
    return d_->startDownload(
        downloadRequest(url, directoryPath, fileName, std::nullopt, std::nullopt, nullptr,
                        std::move(success), std::move(failure)),
        false);
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    const std::string& md5, std::optional<int64_t> maximumSize, ProgressBlock progress,
    DownloadSuccessBlock success, FailureBlock failure) {
    return d_->startDownload(
        downloadRequest(url, directoryPath, fileName, md5, maximumSize, std::move(progress),
                        std::move(success), std::move(failure)),
        true);
}

}  // namespace velmora

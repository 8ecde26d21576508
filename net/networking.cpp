#include "velmora/networking.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "core/json_intake.h"
#include "json/bounded_text.h"
#include "net/retry_policy.h"
#include "net/session.h"
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

QelURLSessionTask::QelURLSessionTask(std::unique_ptr<detail::TaskCore> core)
    : core_(std::move(core)) {}

QelURLSessionTask::~QelURLSessionTask() = default;

uint64_t QelURLSessionTask::taskIdentifier() const {
    return core_->identifier;
}
const std::string& QelURLSessionTask::currentURL() const {
    return core_->url;
}
QelURLSessionTask::State QelURLSessionTask::state() const {
    return static_cast<State>(core_->state.load());
}
void QelURLSessionTask::cancel() {
    core_->session->cancel(shared_from_this());
}

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
    if (core_) core_->progressHeard.store(progressBlock_ || core_->bytesObserved);
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

struct QelNetworking::Private {
    std::shared_ptr<detail::Session> session;
    dispatch::Semaphore signal{1};
    // Under `signal`. Tasks mostly finish in the order they started, so removal is near the front.
    std::deque<QelURLSessionTaskPtr> tasks;
};

QelNetworking::QelNetworking() : d_(std::make_unique<Private>()) {
    detail::SessionConfig config;
    config.requestTimeout = gTimeoutForRequest.load();
    config.resourceTimeout = gTimeoutForDownload.load();
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

std::vector<QelURLSessionTaskPtr> QelNetworking::tasksArray() {
    std::vector<QelURLSessionTaskPtr> snapshot;
    safeLock([&] { snapshot.assign(d_->tasks.begin(), d_->tasks.end()); });
    return snapshot;
}

void QelNetworking::registerTask(const QelURLSessionTaskPtr& task) {
    safeLock([&] { d_->tasks.push_back(task); });
}

void QelNetworking::unregisterTask(const QelURLSessionTask* task) {
    safeLock([&] {
        for (auto it = d_->tasks.begin(); it != d_->tasks.end(); ++it) {
            if (it->get() == task) {
                d_->tasks.erase(it);
                break;
            }
        }
    });
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

QelURLSessionTaskPtr QelNetworking::startDataTask(std::string url, std::string method,
                                                  std::vector<std::string> headers,
                                                  std::optional<QelBytes> body,
                                                  Json reportParameters, SuccessBlock success,
                                                  FailureBlock failure, bool idempotent,
                                                  int64_t maxBytes) {
    auto core = std::make_unique<detail::TaskCore>();
    core->kind = detail::TaskCore::Kind::Data;
    core->url = std::move(url);
    core->method = std::move(method);
    core->headers = std::move(headers);
    core->body = std::move(body);
    core->maxBytes = effectiveLimit(gMaximumResponseSize.load());
    if (maxBytes > 0)
        core->maxBytes = core->maxBytes < 0 ? maxBytes : std::min(core->maxBytes, maxBytes);
    if (core->method == "GET" || idempotent) core->retry = retryPolicy();
    QelURLSessionTaskPtr task = d_->session->makeTask(std::move(core));
    const QelURLSessionTask* raw = task.get();
    detail::coreOf(task).handlers.didComplete = [self = shared_from_this(), raw,
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
        self->unregisterTask(raw);
    };
    // Registered before it starts, so that its completion always finds it.
    registerTask(task);
    d_->session->resume(task);
    return task;
}

QelURLSessionTaskPtr QelNetworking::getWithURL(const std::string& url,
                                               const std::optional<Parameters>& parameters,
                                               SuccessBlock success, FailureBlock failure) {
    return startGet(url, parameters, std::move(success), std::move(failure), 0);
}

QelURLSessionTaskPtr QelNetworking::startGet(const std::string& url,
                                             const std::optional<Parameters>& parameters,
                                             SuccessBlock success, FailureBlock failure,
                                             int64_t maxBytes) {
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
    return startDataTask(std::move(full), "GET", {}, std::nullopt, std::move(report),
                         std::move(success), std::move(failure), false, maxBytes);
}

QelURLSessionTaskPtr QelNetworking::postWithURL(const std::string& url, const Json& parameters,
                                                SuccessBlock success, FailureBlock failure) {
    return startPost(url, parameters, std::move(success), std::move(failure), false);
}

QelURLSessionTaskPtr QelNetworking::startPost(const std::string& url, const Json& parameters,
                                              SuccessBlock success, FailureBlock failure,
                                              bool idempotent, int64_t maxBytes) {
    std::optional<QelBytes> body;
    if (auto text = transformationToString(parameters)) body = QelBytes(text->begin(), text->end());
    return startDataTask(url, "POST", {"Content-Type: application/json"}, std::move(body),
                         parameters, std::move(success), std::move(failure), idempotent, maxBytes);
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
    QelBytes body = getHttpBodyWithFormModels(formModels);
    std::vector<std::string> headers{
        std::string("Content-Type: multipart/form-data; boundary=") + kBoundary,
        "Content-Length: " + std::to_string(body.size())};
    return startDataTask(detail::percentEncodeFragment(url), "POST", std::move(headers),
                         std::move(body), parameters, std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::uploadFileWithURL(const std::string& url,
                                                      const QelBytes& fileData,
                                                      SuccessBlock success, FailureBlock failure) {
    return startDataTask(url, "POST", {}, fileData, absentJson(), std::move(success),
                         std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::startDownload(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    std::optional<int64_t> maximumSize, bool withProgressRecord, ProgressBlock progress,
    DownloadSuccessBlock success, FailureBlock failure, std::optional<std::string> md5,
    std::function<void(int64_t written)> bytes) {
    std::string target = platform::appendPathComponent(directoryPath, fileName);
    auto core = std::make_unique<detail::TaskCore>();
    core->kind = detail::TaskCore::Kind::Download;
    core->url = url;
    core->downloadTarget = target;
    core->downloadMd5 = std::move(md5);
    core->retry = retryPolicy();
    core->bytesObserved = static_cast<bool>(bytes);
    int64_t limit = effectiveLimit(gMaximumDownloadSize.load());
    if (maximumSize && *maximumSize >= 0)
        limit = limit < 0 ? *maximumSize : std::min(limit, *maximumSize);
    core->maxBytes = limit;
    QelURLSessionTaskPtr task = d_->session->makeTask(std::move(core));
    QelURLSessionTask* raw = task.get();
    detail::TaskHandlers& handlers = detail::coreOf(task).handlers;
    auto self = shared_from_this();

    if (withProgressRecord) {
        task->setFilePath(target);
        task->setProgressBlock(std::move(progress));
        task->setSuccessBlock(std::move(success));
        task->setFailureBlock(std::move(failure));
        handlers.didWriteData = [raw, bytes = std::move(bytes)](int64_t, int64_t written,
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
            self->unregisterTask(raw);
        };
    } else {
        handlers.didComplete = [self, raw, target, success = std::move(success),
                                failure = std::move(failure)](
                                   const QelURLResponsePtr&, const std::optional<QelBytes>&,
                                   const QelErrorPtr& error, const std::string& location) {
            const detail::TaskCore& core = detail::TaskAccess::core(*raw);
            QelErrorPtr outcome = error ? error : moveIntoPlace(*raw, location, target);
            if (outcome) {
                if (failure) detail::callGuarded(core, [&] { failure(outcome); });
            } else if (success) {
                detail::callGuarded(core, [&] { success(detail::fileURLString(target)); });
            }
            self->unregisterTask(raw);
        };
    }
    registerTask(task);
    d_->session->resume(task);
    return task;
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    ProgressBlock progress, DownloadSuccessBlock success, FailureBlock failure) {
    return startDownload(url, directoryPath, fileName, std::nullopt, true, std::move(progress),
                         std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    std::optional<int64_t> maximumSize, ProgressBlock progress, DownloadSuccessBlock success,
    FailureBlock failure) {
    return startDownload(url, directoryPath, fileName, maximumSize, true, std::move(progress),
                         std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(const std::string& url,
                                                    const std::string& directoryPath,
                                                    const std::string& fileName,
                                                    DownloadSuccessBlock success,
                                                    FailureBlock failure) {
    return startDownload(url, directoryPath, fileName, std::nullopt, false, nullptr,
                         std::move(success), std::move(failure));
}

QelURLSessionTaskPtr QelNetworking::downloadWithURL(
    const std::string& url, const std::string& directoryPath, const std::string& fileName,
    const std::string& md5, std::optional<int64_t> maximumSize, ProgressBlock progress,
    DownloadSuccessBlock success, FailureBlock failure) {
    return startDownload(url, directoryPath, fileName, maximumSize, true, std::move(progress),
                         std::move(success), std::move(failure), md5);
}

}  // namespace velmora

// The project configuration check, the item list document and the UI configuration.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/json_text.h"
#include "cloud/private.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "json/bounded_text.h"
#include "json/json_intake.h"
#include "net/transport.h"
#include "net/url_error.h"
#include "platform/log.h"
#include "velmora/networking.h"
#include "velmora/tool.h"
#include "velmora/version.h"

namespace velmora {
namespace {

constexpr const char* kConfigMethod = "getLatestCloudConfigWithVersion:completion:";
constexpr const char* kUIListMethod = "getUIListConfigWithVersion:completion:";

// The platform's default for a blocking read: give up after this long without any data.
constexpr int32_t kItemListReadTimeoutSeconds = 60;
// The diagnostic copy of an unusable document is for reading by a person, not for keeping it all.
constexpr size_t kMaxDiagnosticCopyBytes = 1024 * 1024;

std::atomic<int64_t> gMaximumItemListSize{QelCloudService::kDefaultMaximumItemListSize};
std::atomic<int32_t> gTimeoutForItemList{QelCloudService::kDefaultTimeoutForItemList};

// What the platform's JSON parser reports for text that is not JSON.
constexpr int32_t kJSONReadCorruptError = 3840;

QelErrorPtr failure(const std::string& message) {
    return QelTool::errorWithCode(QelErrorCodeFailure, message);
}

// The GET of the project's configuration endpoints.
detail::AuthorisedRequest projectRequest(const char* path, const std::string& appid,
                                         const std::string& version) {
    detail::AuthorisedRequest request;
    request.path = path;
    request.parameters = {
        {"appid", appid}, {"appversion", version}, {"sdkversion", VELMORA_VERSION_TEXT}};
    return request;
}

// The whole document at `url`, read on this thread within the item list's own size and time
// limits, and tried again under the client's retry policy. A transport failure or an HTTP error
// status becomes a transport error record with what the answer said about itself.
QelBytes readWholeURL(const std::string& url, QelErrorPtr& error) {
    detail::DocumentRequest request;
    request.url = url;
    request.maximumSize = QelCloudService::maximumItemListSize();
    request.timeout = QelCloudService::timeoutForItemList();
    request.idleTimeout = kItemListReadTimeoutSeconds;
    detail::Document read = detail::sharedTransport()->read(request);

    detail::AnswerFacts facts;
    if (read.response) {
        facts.httpStatus = read.response->statusCode();
        facts.requestId = read.response->valueForHTTPHeaderField("x-request-id").value_or("");
    }
    if (read.error && read.error->code() == QelURLErrorDataLengthExceedsMaximum) {
        error = detail::makeURLError(
            QelURLErrorDataLengthExceedsMaximum,
            "The item list exceeds the limit of " + std::to_string(request.maximumSize) + " bytes",
            url);
    } else if (read.error) {
        error = std::move(read.error);
    } else if (facts.httpStatus >= 400) {
        error = detail::makeURLError(
            QelURLErrorBadServerResponse,
            detail::formatMessage("HTTP status %@", {std::to_string(facts.httpStatus)}), url);
    }
    if (error) {
        error = detail::withAnswerFacts(error, facts);
        return {};
    }
    return std::move(read.body);
}

}  // namespace

// QelItemListJsonModel

std::string QelItemListJsonModel::requestTags() {
    return "component,animation,scene";
}

namespace {

// True when the document's "list" has entries. A "list" that is missing, or there but no array,
// is logged and the document copied for diagnosis; an empty one is not.
bool hasItems(const Json& data, const std::string& downloadRootPath) {
    const auto list = data.is_object() ? data.find("list") : data.end();
    if (list == data.end() || !list->is_array()) {
        QelTool::warningLog("检测到 itemList 中 public 部分为空！");
        QelItemListJsonModel::logItemListResponseData(data, downloadRootPath);
        return false;
    }
    return !list->empty();
}

}  // namespace

Json QelItemListJsonModel::requestItemLisDataWithData(const Json& data,
                                                      const std::string& downloadRootPath) {
    if (!hasItems(data, downloadRootPath)) return absentJson();
    Json itemList = Json::object();
    itemList["list"] = data.at("list");
    return itemList;
}

void QelItemListJsonModel::logItemListResponseData(const Json& data,
                                                   const std::string& downloadRootPath) {
    if (!data.is_structured()) return;
    // Both copies keep the head of a large document and say how much was cut.
    const std::string text = detail::boundedDump(data, 2, kMaxDiagnosticCopyBytes);
    platform::systemLog(">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>");
    QelTool::normalLog(detail::boundedText(text));
    detail::saveContainerText(text, platform::appendPathComponent(
                                        downloadRootPath, "GGenerateJson/itemListResponse.log"));
}

// QelCloudService

void QelCloudService::getLatestCloudConfigWithVersion(const std::string& version,
                                                      ErrorCompletion completion) {
    const QelCloudServiceConfig cfg = config();
    if (cfg.appid().empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "appid 为空"));
        return;
    }
    auto self = shared_from_this();
    d_->renewal.send(
        self, projectRequest("items/v3/app/query", cfg.appid(), version), kConfigMethod,
        [self, completion](const Json& envelope) {
            const Json data = jsonMember(envelope, "data");
            if (!safeData(data)) {
                if (completion) completion(failure("获取ProjectJson返回值Data无数据"));
                return;
            }
            self->setProjectJsonModel(QelProjectJsonModel::createWithData(data));
            self->downloadDefaultAvatarsIfNeedWithCompletion(
                [self, completion](const QelErrorPtr&) {
                    Impl::continueCloudConfig(self, completion);
                });
        },
        [completion](const QelErrorPtr& error) {
            if (completion) completion(error);
        });
}

void QelCloudService::Impl::continueCloudConfig(const std::shared_ptr<QelCloudService>& service,
                                                ErrorCompletion completion) {
    const auto project = service->projectJsonModel();
    const std::string remote = project ? project->itemListVersion() : std::string();
    QelTool::normalLog(detail::formatMessage("远端获取的 item_list_version为：%@", {remote}));
    const auto known = service->d_->store.knownListVersion();
    const std::optional<std::string> local = known ? *known : std::nullopt;
    const std::string localText = local ? *local : "(null)";
    if (local && *local == remote) {
        QelTool::normalLog(detail::formatMessage(
            "不需要下载最新的 item_list; 本地版本：%@,远端版本：%@", {localText, remote}));
        if (completion) completion(nullptr);
        return;
    }
    QelTool::normalLog(detail::formatMessage("需要下载最新的 item_list; 本地版本：%@,远端版本：%@",
                                             {localText, remote}));
    // The refresh needs the stored states; they are read on another core while the list comes.
    dispatch::globalQueue().async([service] { service->d_->store.ensureInfoLoaded(); });
    // The read blocks for as long as the document takes: never on a delivery thread, where it
    // would hold up every other answer.
    dispatch::globalQueue().async(
        [service, url = project ? project->itemListUrl() : std::string(),
         completion = std::move(completion)] { service->getItemListJsonWithUrl(url, completion); });
}

void QelCloudService::getItemListJsonWithUrl(const std::string& url, ErrorCompletion completion) {
    if (url.empty()) {
        if (completion) completion(failure("item_list_url为空"));
        return;
    }
    QelErrorPtr outcome;
    try {
        outcome = Impl::refreshWithItemListAt(*this, url);
    } catch (const std::exception& e) {
        // Out of memory or the like: the state store kept what it had, and the caller hears.
        outcome = failure(std::string("获取ItemListJson时出错,") + e.what());
    }
    if (completion) completion(outcome);
}

QelErrorPtr QelCloudService::Impl::refreshWithItemListAt(QelCloudService& service,
                                                         const std::string& url) {
    QelErrorPtr readError;
    QelBytes text = readWholeURL(url, readError);
    if (readError) return readError;
    jsonintake::Limits limits;
    const int64_t maximum = maximumItemListSize();
    if (maximum > 0) limits.maxBytes = static_cast<size_t>(maximum);
    jsonintake::Result parsed = jsonintake::parse(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), limits);
    text = QelBytes();
    if (!parsed.ok()) return QelTool::errorWithCode(kJSONReadCorruptError, parsed.message);
    Json document = std::move(parsed.value);
    // The extraction of requestItemLisDataWithData, moving the entries rather than copying them.
    if (!hasItems(document, service.downloadRootPath()))
        return failure("获取ItemListJson时得到的所需数据不完整！！");
    Json itemList = Json::object();
    itemList["list"] = std::move(document["list"]);
    document = Json();
    return service.updateResourceStoreWithItemListDic(std::move(itemList));
}

void QelCloudService::setMaximumItemListSize(int64_t bytes) {
    gMaximumItemListSize.store(bytes);
}
int64_t QelCloudService::maximumItemListSize() {
    return gMaximumItemListSize.load();
}
void QelCloudService::setTimeoutForItemList(int32_t seconds) {
    gTimeoutForItemList.store(seconds);
}
int32_t QelCloudService::timeoutForItemList() {
    return gTimeoutForItemList.load();
}

void QelCloudService::getUIListConfigWithVersion(const std::string& version,
                                                 ValueCompletion completion) {
    const QelCloudServiceConfig cfg = config();
    if (cfg.appid().empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument, "appid 为空"),
                       absentJson());
        return;
    }
    d_->renewal.send(
        shared_from_this(), projectRequest("items/v3/app/centre-config", cfg.appid(), version),
        kUIListMethod,
        [completion](const Json& envelope) {
            if (!completion) return;
            const Json data = jsonMember(envelope, "data");
            if (safeData(data))
                completion(nullptr, data);
            else
                completion(failure("获取 UIList 返回值Data无数据"), absentJson());
        },
        [completion](const QelErrorPtr& error) {
            if (completion) completion(error, absentJson());
        });
}

}  // namespace velmora

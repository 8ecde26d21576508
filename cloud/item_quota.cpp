// The store's byte cap: a batch is let in only once its bytes fit, after evicting the least
// recently used items that nothing stored needs.
#include "cloud/item_quota.h"

#include <algorithm>
#include <tuple>

#include "cloud/item_cleanup.h"
#include "cloud/private.h"
#include "core/format.h"
#include "core/host_calls.h"
#include "velmora/tool.h"

namespace velmora::detail {
namespace {

std::string bytesText(int64_t bytes) {
    return std::to_string(bytes);
}

// Saturating: sizes come from the cloud.
int64_t addBytes(int64_t a, int64_t b) {
    return b > INT64_MAX - a ? INT64_MAX : a + b;
}

// The item list's "size" of each path that has one.
std::map<std::string, int64_t> listedSizes(const Json& document) {
    std::map<std::string, int64_t> sizes;
    const Json& list = jsonMemberRef(document, "list");
    if (!list.is_array()) return sizes;
    for (const auto& item : list) {
        const Json& path = jsonMemberRef(item, "path");
        const Json& size = jsonMemberRef(item, "size");
        if (path.is_string() && size.is_number_unsigned())
            sizes[path.get<std::string>()] =
                static_cast<int64_t>(std::min<uint64_t>(size.get<uint64_t>(), INT64_MAX));
    }
    return sizes;
}

}  // namespace

void ItemQuota::setLimit(int64_t bytes) {
    std::lock_guard lock(mutex_);
    limit_ = bytes;
}

int64_t ItemQuota::limit() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

void ItemQuota::setNeededBlock(QelCloudService::NeededFileIdsBlock block) {
    std::lock_guard lock(mutex_);
    needed_ = std::move(block);
}

QelCloudService::NeededFileIdsBlock ItemQuota::neededBlock() const {
    std::lock_guard lock(mutex_);
    return needed_;
}

std::optional<std::set<std::string>> ItemQuota::neededIds() const {
    const auto block = neededBlock();
    if (!block) return std::nullopt;
    std::optional<std::vector<std::string>> ids;
    callHostBlock("the needed file ids block", [&] { ids = block(); });
    if (!ids) return std::nullopt;
    return std::set<std::string>(ids->begin(), ids->end());
}

std::map<std::string, int64_t> ItemQuota::reserved() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, int64_t> all;
    for (const auto& [ticket, files] : reservations_)
        for (const auto& [fileId, size] : files) all[fileId] = std::max(all[fileId], size);
    return all;
}

void ItemQuota::release(uint64_t ticket) {
    if (ticket == 0) return;
    std::lock_guard lock(mutex_);
    reservations_.erase(ticket);
}

QelErrorPtr ItemQuota::admit(StateStore& store, const std::vector<Incoming>& incoming,
                             uint64_t& ticket) {
    ticket = 0;
    const int64_t cap = limit();
    if (cap <= 0 || incoming.empty()) return nullptr;

    // The cloud's answer names each file's size; the item list stands in where it does not.
    std::map<std::string, int64_t> coming;
    std::optional<std::map<std::string, int64_t>> listed;
    for (const auto& file : incoming) {
        std::optional<int64_t> size = file.size;
        if (!size) {
            if (!listed) listed = listedSizes(store.list());
            const auto found = listed->find(file.fileId);
            if (found != listed->end()) size = found->second;
        }
        if (!size)
            return QelTool::errorWithCode(
                QelErrorCodeFailure,
                formatMessage("%@ 大小未知，无法按存储上限下载", {file.fileId}));
        coming[file.fileId] = std::max(coming[file.fileId], *size);
    }
    int64_t comingBytes = 0;
    for (const auto& [fileId, size] : coming) comingBytes = addBytes(comingBytes, size);

    std::lock_guard removing(removals_);
    // What running batches bring counts at the size they were let in with; their files on disk
    // are about to be replaced.
    const auto elsewhere = reserved();
    const auto facts = store.entryFacts();
    std::vector<std::string> onDisk;
    for (const auto& entry : facts)
        if (!coming.count(entry.fileId) && !elsewhere.count(entry.fileId))
            onDisk.push_back(entry.fileId);
    const auto sizes = itemFileSizes(store.root(), onDisk);
    int64_t used = 0;
    for (const auto& [fileId, size] : sizes) used = addBytes(used, size);
    for (const auto& [fileId, size] : elsewhere)
        if (!coming.count(fileId)) used = addBytes(used, size);
    const int64_t wanted = addBytes(used, comingBytes);

    if (wanted > cap) {
        const int64_t over = wanted - cap;
        // Stale files first (no load can use them), then the least recently used; an entry
        // never used here is oldest. The file id settles ties, so the order is reproducible.
        const auto needed = neededIds();
        std::vector<std::tuple<bool, int64_t, std::string, uint64_t, int64_t>> candidates;
        if (needed) {
            for (const auto& entry : facts) {
                const auto size = sizes.find(entry.fileId);
                if (size == sizes.end() || !entry.state ||
                    *entry.state == QelFileStateDownloading || needed->count(entry.fileId))
                    continue;
                candidates.emplace_back(*entry.state != QelFileStateNeedsDownload,
                                        entry.lastUse.value_or(INT64_MIN), entry.fileId,
                                        *entry.state, size->second);
            }
        }
        std::sort(candidates.begin(), candidates.end());
        std::vector<std::pair<std::string, uint64_t>> chosen;
        int64_t freeable = 0;
        for (const auto& candidate : candidates) {
            if (freeable >= over) break;
            chosen.emplace_back(std::get<2>(candidate), std::get<3>(candidate));
            freeable = addBytes(freeable, std::get<4>(candidate));
        }
        if (freeable < over)
            return QelTool::errorWithCode(
                QelErrorCodeFailure,
                formatMessage("本批道具共 %@ 字节，超出存储上限 %@ 字节：已用 %@ 字节，"
                              "不被形象需要、可腾出的只有 %@ 字节",
                              {bytesText(comingBytes), bytesText(cap), bytesText(used),
                               bytesText(freeable)}));
        const auto outcome = removeItemFiles(store, chosen);
        if (outcome.error) return outcome.error;
        if (outcome.removedBytes < over)
            return QelTool::errorWithCode(
                QelErrorCodeFailure,
                formatMessage(
                    "本批道具共 %@ 字节，超出存储上限 %@ 字节：只腾出了 %@ 字节",
                    {bytesText(comingBytes), bytesText(cap), bytesText(outcome.removedBytes)}));
        QelTool::normalLog(formatMessage(
            "为下载腾出存储空间：删除 %@ 个道具，共 %@ 字节",
            {std::to_string(outcome.removedFileIds.size()), bytesText(outcome.removedBytes)}));
    }
    std::lock_guard lock(mutex_);
    ticket = ++nextTicket_;
    reservations_[ticket] = std::move(coming);
    return nullptr;
}

}  // namespace velmora::detail

namespace velmora {

QelErrorPtr QelCloudService::Impl::admitToQuota(QelCloudService& service,
                                                const std::vector<QelItemDownloadModelPtr>& models,
                                                const std::vector<std::string>& refusals,
                                                uint64_t& ticket) {
    std::vector<detail::ItemQuota::Incoming> incoming;
    for (size_t i = 0; i < models.size(); ++i) {
        const auto& model = models[i];
        if (model && refusals[i].empty() && !model->itemFileId().empty())
            incoming.push_back({model->itemFileId(), model->itemSize()});
    }
    return service.d_->quota.admit(service.d_->store, incoming, ticket);
}

void QelCloudService::setMaximumStoreBytes(int64_t bytes) {
    d_->quota.setLimit(bytes);
}

int64_t QelCloudService::maximumStoreBytes() const {
    return d_->quota.limit();
}

void QelCloudService::setNeededFileIdsBlock(NeededFileIdsBlock block) {
    d_->quota.setNeededBlock(std::move(block));
}

QelCloudService::NeededFileIdsBlock QelCloudService::neededFileIdsBlock() const {
    return d_->quota.neededBlock();
}

}  // namespace velmora

// Verifying the item store's files against the item list, and repairing what is damaged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/digest.h"
#include "core/format.h"
#include "core/host_calls.h"
#include "net/url_error.h"
#include "velmora/tool.h"

namespace velmora::detail {
namespace itemverify {

// A member as a value to compare: one that is missing reads as null on either side.
Json memberOf(const Json& entry, const char* key) {
    const auto it = entry.is_object() ? entry.find(key) : entry.end();
    return it == entry.end() ? Json() : *it;
}

}  // namespace itemverify

Json StateStore::entry(const std::string& fileId) {
    ensureInfoLoaded();
    std::lock_guard lock(mutex_);
    const auto found = info_.is_object() ? info_.find(fileId) : info_.end();
    return found == info_.end() ? absentJson() : *found;
}

bool StateStore::replaceStateIfUnchanged(const std::string& fileId, const Json& seen,
                                         uint64_t state) {
    std::lock_guard lock(mutex_);
    auto found = info_.is_object() ? info_.find(fileId) : info_.end();
    if (found == info_.end() || !found->is_object()) return false;
    using itemverify::memberOf;
    if (memberOf(*found, "fileState") != memberOf(seen, "fileState") ||
        memberOf(*found, "resource_id") != memberOf(seen, "resource_id"))
        return false;
    (*found)["fileState"] = state;
    return true;
}

namespace itemverify {

constexpr int64_t kProgressStep = 4 * 1024 * 1024;
constexpr size_t kReadBuffer = 1024 * 1024;
// A file replaced while it is read is read again, up to this many times in all.
constexpr int kAttempts = 3;

// What was at an item's path: nothing (or no way to it that stays below the root), or an entry
// of this identity.
struct Seen {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t type = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const Seen& other) const {
        if (exists != other.exists) return false;
        return !exists || (device == other.device && inode == other.inode && type == other.type &&
                           size == other.size && modified.tv_sec == other.modified.tv_sec &&
                           modified.tv_nsec == other.modified.tv_nsec);
    }
};

Seen look(int parent, const std::string& name) {
    Seen seen;
    struct stat info {};
    if (parent < 0 || ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return seen;
    seen.exists = true;
    seen.device = info.st_dev;
    seen.inode = info.st_ino;
    seen.type = info.st_mode & S_IFMT;
    seen.size = info.st_size;
    seen.modified = info.st_mtim;
    return seen;
}

Seen look(const std::string& root, const std::string& fileId) {
    const auto [directory, name] = splitFileId(fileId);
    Descriptor parent(openDirectoryBeneath(root, directory, false));
    return look(parent.get(), name);
}

struct Target {
    std::string fileId;
    Json entry;  // the state entry as it was when the item was planned or last read
    std::optional<std::string> md5;
    std::optional<int64_t> size;
    int64_t plannedBytes = 0;  // the list's size, what the progress counts for the item
};

enum class Verdict { Good, Damaged, Cancelled };

std::optional<uint64_t> stateOf(const Json& entry) {
    const auto state = entry.find("fileState");
    if (state == entry.end()) return std::nullopt;
    if (state->is_number_unsigned()) return state->get<uint64_t>();
    if (state->is_number_integer()) return static_cast<uint64_t>(state->get<int64_t>());
    return std::nullopt;
}

std::optional<std::string> resourceIdOf(const Json& entry) {
    const Json& id = jsonMemberRef(entry, "resource_id");
    if (id.is_string()) return id.get<std::string>();
    if (id.is_number()) return id.dump();
    return std::nullopt;
}

// The files read and bytes read so far, reported in increasing order.
class Progress {
  public:
    Progress(QelCloudService::VerifyProgressBlock block, int64_t files, int64_t bytes)
        : block_(std::move(block)), filesTotal_(files), bytesTotal_(bytes) {}
    void add(int64_t files, int64_t bytes) {
        std::lock_guard lock(mutex_);
        filesDone_ += files;
        bytesDone_ += bytes;
        if (block_)
            callHostBlock("the verify progress block",
                          [&] { block_(filesDone_, filesTotal_, bytesDone_, bytesTotal_); });
    }

  private:
    std::mutex mutex_;
    const QelCloudService::VerifyProgressBlock block_;
    const int64_t filesTotal_;
    const int64_t bytesTotal_;
    int64_t filesDone_ = 0;
    int64_t bytesDone_ = 0;
};

struct Job {
    std::shared_ptr<QelCloudService> service;
    StateStore* store = nullptr;
    std::string root;
    bool repair = false;
    QelCancellationTokenPtr token;
    uint64_t cancelHandler = 0;
    std::atomic<bool> cancelled{false};
    QelCloudService::VerifyCompletion completion;
    std::unique_ptr<Progress> progress;

    std::vector<Target> targets;
    std::atomic<size_t> next{0};
    dispatch::Group group;

    std::mutex mutex;  // the findings below
    QelVerifyResultModel result;
    bool written = false;
};

// Reads the file and compares it with the list; `seen` gets what was read.
Verdict readItem(Job& job, const Target& target, std::vector<unsigned char>& buffer, Seen& seen,
                 int64_t& reported) {
    const auto [directory, name] = splitFileId(target.fileId);
    Descriptor parent(openDirectoryBeneath(job.root, directory, false));
    seen = look(parent.get(), name);
    if (!seen.exists || seen.type != S_IFREG || !target.md5) return Verdict::Damaged;
    if (target.size && *target.size != static_cast<int64_t>(seen.size)) return Verdict::Damaged;
    // Not blocking: whatever the path holds when it is opened, a FIFO or a device never waits.
    Descriptor file(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_ino != seen.inode || info.st_dev != seen.device)
        return Verdict::Damaged;  // replaced meanwhile: the judgement notices
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Md5Stream digest;
    int64_t total = 0, sinceReport = 0;
    for (;;) {
        if (job.cancelled.load(std::memory_order_relaxed)) return Verdict::Cancelled;
        const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return Verdict::Damaged;
        }
        digest.update(buffer.data(), static_cast<size_t>(n));
        total += n;
        sinceReport += n;
        if (sinceReport >= kProgressStep) {
            const int64_t step = std::min(sinceReport, target.plannedBytes - reported);
            if (step > 0) {
                job.progress->add(0, step);
                reported += step;
            }
            sinceReport = 0;
        }
    }
    if (total != static_cast<int64_t>(seen.size)) return Verdict::Damaged;
    const auto md5 = digest.finish();
    return md5 && *md5 == *target.md5 ? Verdict::Good : Verdict::Damaged;
}

// Records a verdict unless a batch or a refresh got there meanwhile: answers false when the
// item is no longer what was read.
bool record(Job& job, const Target& target, const Seen& seen, Verdict verdict) {
    const auto state = stateOf(target.entry);
    uint64_t wanted = QelFileStateNeedsDownload;
    if (verdict == Verdict::Good) {
        if (state != QelFileStateNeedsDownload) return true;  // nothing to write
        wanted = QelFileStatePresent;
    }
    const auto held = job.store->writersLock();
    // A batch replaces a file by a rename before it records the item, and records it under
    // this lock: a file still the one read was not written by a batch that has finished.
    if (!(look(job.root, target.fileId) == seen)) return false;
    if (!job.store->replaceStateIfUnchanged(target.fileId, target.entry, wanted)) return false;
    if (state != wanted) {
        std::lock_guard lock(job.mutex);
        job.written = true;
    }
    return true;
}

void checkItem(Job& job, Target target, std::vector<unsigned char>& buffer) {
    int64_t reported = 0;
    std::optional<Verdict> verdict;
    for (int attempt = 0; attempt < kAttempts && !verdict; ++attempt) {
        if (attempt > 0) {
            // What changed it decides: a batch now under way, or a refresh, takes it over.
            Json now = job.store->entry(target.fileId);
            if (isAbsent(now) || stateOf(now) == QelFileStateDownloading ||
                memberOf(now, "resource_id") != memberOf(target.entry, "resource_id"))
                break;
            target.entry = std::move(now);
        }
        Seen seen;
        const Verdict read = readItem(job, target, buffer, seen, reported);
        if (read == Verdict::Cancelled) return;  // neither counted nor judged
        if (record(job, target, seen, read)) verdict = read;
    }
    {
        std::lock_guard lock(job.mutex);
        if (!verdict) {
            job.result.skippedFileIds.push_back(target.fileId);
        } else {
            ++job.result.checked;
            if (*verdict == Verdict::Good)
                ++job.result.good;
            else
                job.result.damagedFileIds.push_back(target.fileId);
        }
    }
    job.progress->add(1, std::max<int64_t>(0, target.plannedBytes - reported));
}

void work(const std::shared_ptr<Job>& job) {
    std::vector<unsigned char> buffer(kReadBuffer);
    for (;;) {
        if (job->cancelled.load()) return;
        const size_t index = job->next.fetch_add(1);
        if (index >= job->targets.size()) return;
        checkItem(*job, job->targets[index], buffer);
    }
}

// The entries of the stored list that carry a path, by path.
std::map<std::string, const Json*> listedByPath(const Json& list) {
    std::map<std::string, const Json*> byPath;
    const Json& entries = jsonMemberRef(list, "list");
    if (!entries.is_array()) return byPath;
    for (const auto& item : entries) {
        const Json& path = jsonMemberRef(item, "path");
        if (path.is_string()) byPath[path.get<std::string>()] = &item;
    }
    return byPath;
}

void plan(Job& job, const std::vector<std::string>& fileIds) {
    const Json info = job.store->info();
    const Json list = job.store->list();
    const auto listed = listedByPath(list);
    auto add = [&](const std::string& fileId, const Json& entry) {
        if (stateOf(entry) == QelFileStateDownloading) {
            job.result.skippedFileIds.push_back(fileId);
            return;
        }
        Target target;
        target.fileId = fileId;
        target.entry = entry;
        if (const auto item = listed.find(fileId); item != listed.end()) {
            const Json& md5 = jsonMemberRef(*item->second, "md5");
            if (md5.is_string()) target.md5 = md5.get<std::string>();
            const Json& size = jsonMemberRef(*item->second, "size");
            if (size.is_number_integer() && size.get<int64_t>() >= 0)
                target.size = size.get<int64_t>();
        }
        target.plannedBytes = target.size.value_or(0);
        job.targets.push_back(std::move(target));
    };
    if (!info.is_object()) {
        job.result.invalidFileIds = fileIds;
        return;
    }
    if (fileIds.empty()) {
        for (const auto& [fileId, entry] : info.items()) {
            if (!isStorableFileId(fileId) || !entry.is_object()) continue;
            const auto state = stateOf(entry);
            // An item needing download is checked only when something is at its path.
            if (state == QelFileStateNeedsDownload && !look(job.root, fileId).exists) continue;
            add(fileId, entry);
        }
    } else {
        std::set<std::string> seen;
        for (const auto& fileId : fileIds) {
            if (!seen.insert(fileId).second) continue;
            const Json& entry = jsonMemberRef(info, fileId);
            if (!isStorableFileId(fileId) || !entry.is_object())
                job.result.invalidFileIds.push_back(fileId);
            else
                add(fileId, entry);
        }
    }
    // The largest first, so that no core is left with one large file at the end.
    std::stable_sort(job.targets.begin(), job.targets.end(), [](const Target& a, const Target& b) {
        return a.plannedBytes > b.plannedBytes;
    });
}

void complete(const std::shared_ptr<Job>& job, QelErrorPtr error) {
    if (job->token) job->token->removeHandler(job->cancelHandler);
    if (!error && job->cancelled.load()) error = cancellationError();
    if (!error && !job->result.invalidFileIds.empty()) {
        std::string ids;
        for (const auto& id : job->result.invalidFileIds) ids += (ids.empty() ? "" : ",") + id;
        error = QelTool::errorWithCode(QelErrorCodeUnknownItems,
                                       formatMessage("%@ 在 item_list 中不存在", {ids}));
    }
    dispatch::mainQueue().async([job, error] {
        if (job->completion) job->completion(error, job->result);
    });
}

// Downloads the damaged items again through the item batch; the directories in the way that
// are empty go first (the batch refuses a directory, and an empty one holds nothing of anyone's).
void repair(const std::shared_ptr<Job>& job) {
    std::map<std::string, std::vector<std::string>> byResource;
    std::vector<std::string> resourceIds;
    for (const auto& fileId : job->result.damagedFileIds) {
        const auto resourceId = resourceIdOf(job->store->entry(fileId));
        if (!resourceId) {
            job->result.failedFileIds.push_back(fileId);
            continue;
        }
        const auto [directory, name] = splitFileId(fileId);
        Descriptor parent(openDirectoryBeneath(job->root, directory, false));
        if (look(parent.get(), name).type == S_IFDIR)
            ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
        auto& files = byResource[*resourceId];
        if (files.empty()) resourceIds.push_back(*resourceId);
        files.push_back(fileId);
    }
    job->result.failed = static_cast<int64_t>(job->result.failedFileIds.size());
    if (resourceIds.empty()) {
        complete(job, nullptr);
        return;
    }
    QelTransferOptions options;
    options.setCancellationToken(job->token);
    job->service->downloadItemsWithCloudSourceIds(
        resourceIds, nullptr,
        [job, byResource](const QelErrorPtr& error, const std::vector<std::string>& succeeded,
                          const std::vector<std::string>&) {
            const std::set<std::string> good(succeeded.begin(), succeeded.end());
            for (const auto& [resourceId, files] : byResource) {
                for (const auto& fileId : files) {
                    if (good.count(fileId))
                        job->result.repairedFileIds.push_back(fileId);
                    else
                        job->result.failedFileIds.push_back(fileId);
                }
            }
            job->result.repaired = static_cast<int64_t>(job->result.repairedFileIds.size());
            job->result.failed = static_cast<int64_t>(job->result.failedFileIds.size());
            complete(job, error);
        },
        options);
}

void finish(const std::shared_ptr<Job>& job) {
    if (job->written) job->store->saveInfo();
    if (job->repair && !job->cancelled.load() && !job->result.damagedFileIds.empty()) {
        repair(job);
        return;
    }
    job->result.failedFileIds = job->result.damagedFileIds;
    job->result.failed = static_cast<int64_t>(job->result.failedFileIds.size());
    complete(job, nullptr);
}

}  // namespace itemverify
}  // namespace velmora::detail

namespace velmora {

void QelCloudService::verifyItemsWithFileIds(const std::vector<std::string>& fileIds, bool repair,
                                             VerifyProgressBlock progress,
                                             VerifyCompletion completion,
                                             const QelCancellationTokenPtr& cancellation) {
    namespace verify = detail::itemverify;
    auto job = std::make_shared<verify::Job>();
    job->service = shared_from_this();
    job->store = &d_->store;
    job->repair = repair;
    job->token = cancellation;
    job->completion = std::move(completion);
    if (cancellation) {
        std::weak_ptr<verify::Job> weak = job;
        job->cancelHandler = cancellation->addHandler([weak] {
            if (auto running = weak.lock()) running->cancelled.store(true);
        });
    }
    dispatch::globalQueue().async([job, fileIds, progress = std::move(progress)]() mutable {
        job->root = job->store->root();
        verify::plan(*job, fileIds);
        int64_t bytes = 0;
        for (const auto& target : job->targets) bytes += target.plannedBytes;
        job->progress = std::make_unique<verify::Progress>(
            std::move(progress), static_cast<int64_t>(job->targets.size()), bytes);
        // Every core reads: hashing is what takes the time, and files are independent.
        const size_t workers = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                                job->targets.size());
        for (size_t i = 0; i < workers; ++i)
            job->group.async(dispatch::globalQueue(), [job] { verify::work(job); });
        job->group.notify(dispatch::globalQueue(), [job] { verify::finish(job); });
    });
}

}  // namespace velmora

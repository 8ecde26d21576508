#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/state_store.h"
#include "velmora/cloud_service.h"

namespace velmora::detail {

/// The store's byte cap and what it takes to keep it: who tells the needed items, the bytes that
/// running batches have been let in with, and the lock that keeps removals and admissions from
/// deciding on each other's stale view.
class ItemQuota {
  public:
    /// One file a batch brings; its size when known.
    struct Incoming {
        std::string fileId;
        std::optional<int64_t> size;
    };

    void setLimit(int64_t bytes);
    int64_t limit() const;
    void setNeededBlock(QelCloudService::NeededFileIdsBlock block);
    QelCloudService::NeededFileIdsBlock neededBlock() const;
    /// The needed ids, or absent when no block is set or it cannot tell.
    std::optional<std::set<std::string>> neededIds() const;

    /// Held by every admission and clean-up for its whole run.
    std::mutex& removals() { return removals_; }

    /// Makes room under the cap for the files (evicting unneeded items) and reserves their
    /// bytes until `release(ticket)`; the error when they cannot fit. Without a cap, nothing.
    QelErrorPtr admit(StateStore& store, const std::vector<Incoming>& incoming, uint64_t& ticket);
    void release(uint64_t ticket);
    /// The files reserved by running batches, with their sizes.
    std::map<std::string, int64_t> reserved() const;

  private:
    mutable std::mutex mutex_;  // the fields below
    int64_t limit_ = 0;
    QelCloudService::NeededFileIdsBlock needed_;
    std::map<uint64_t, std::map<std::string, int64_t>> reservations_;
    uint64_t nextTicket_ = 0;

    std::mutex removals_;
};

}  // namespace velmora::detail

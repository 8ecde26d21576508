#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine_export.h"

namespace velmora {

/// One item bundle ready to be added to an avatar as a component.
class QEL_ENGINE_EXPORT QelItem {
  public:
    /// The item for the bundle at `path`, or none when the engine cannot use that file.
    static std::shared_ptr<QelItem> itemWithPath(const std::string& path, const std::string& name,
                                                 const std::string& fileId);

    ~QelItem();
    QelItem(const QelItem&) = delete;
    QelItem& operator=(const QelItem&) = delete;

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    explicit QelItem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

using QelItemPtr = std::shared_ptr<QelItem>;

}  // namespace velmora

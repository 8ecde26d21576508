#include "cloud/guarded_handler.h"

#include "core/format.h"
#include "platform/log.h"
#include "platform/thrown.h"
#include "velmora/tool.h"

namespace velmora::detail {

QelErrorPtr thrownError(const std::string& method, const std::exception_ptr& thrown) {
    const std::string what = platform::thrownText(thrown);
    platform::systemLog("velmora: the answer handler of " + method + " threw: " + what);
    return QelTool::errorWithCode(QelErrorCodeFailure, formatMessage("%@ 出错,%@", {method, what}));
}

}  // namespace velmora::detail

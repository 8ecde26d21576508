#include "cloud/guarded_handler.h"

#include "core/format.h"
#include "platform/log.h"
#include "velmora/tool.h"

namespace velmora::detail {

QelErrorPtr thrownError(const std::string& method, const std::exception_ptr& thrown) {
    std::string what = "an exception that is no std::exception";
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    platform::systemLog("velmora: the answer handler of " + method + " threw: " + what);
    return QelTool::errorWithCode(QelErrorCodeFailure, formatMessage("%@ 出错,%@", {method, what}));
}

}  // namespace velmora::detail

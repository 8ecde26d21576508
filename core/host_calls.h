#pragma once

#include <exception>
#include <string>

#include "platform/log.h"

namespace velmora::detail {

/// Runs a block the host gave us. Whatever it throws is logged and goes no further: our own
/// bookkeeping after it (a batch's count, its completion) must still run.
template <class Block>
void callHostBlock(const char* what, Block&& block) {
    try {
        block();
    } catch (const std::exception& e) {
        platform::systemLog(std::string("velmora: ") + what + " threw: " + e.what());
    } catch (...) {
        platform::systemLog(std::string("velmora: ") + what + " threw");
    }
}

}  // namespace velmora::detail

#pragma once

#include <optional>
#include <string>

#include "velmora/export.h"

namespace velmora {

/// The framework as a whole: its release number, its build identity and its teardown. Never
/// instantiated.
class VELMORA_EXPORT Velmora {
  public:
    Velmora() = delete;

    /// "2.1.0", whatever the state of the framework (the release number the cloud service
    /// sends as "sdkversion").
    static std::string version();
    /// The commit the library was built from ("QelGitCommitId" of the library's own
    /// information dictionary); absent unless the source tree is the top level of its own git
    /// checkout (a tree copied into a host's repository does not name the host's commit).
    static std::optional<std::string> commitHash();
    /// Drops the shared avatar store, cloud service, HTTP client and avatar helper, in this
    /// order; the next use of each builds a fresh, unconfigured instance. Components never
    /// used are not created. The HTTP client's class-level settings survive.
    static void destroy();
};

// The build's identity as plain exported data, with C linkage so that any loader or tool finds
// them by these names.
extern "C" {
VELMORA_EXPORT extern const double VelmoraVersionNumber;
VELMORA_EXPORT extern const unsigned char VelmoraVersionString[];
}

}  // namespace velmora

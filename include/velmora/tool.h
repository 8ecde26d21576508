#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/json.h"

namespace velmora {

class QelWindow;

/// Stateless utilities: the three log levels, timing, the error record, host lookups, and the
/// file and URL helpers. Never instantiated.
///
/// Log messages are `std::optional<std::string>`: an absent message prints as "(null)".
class VELMORA_EXPORT QelTool {
  public:
    QelTool() = delete;

    static void normalLog(const std::optional<std::string>& message);
    static void warningLog(const std::optional<std::string>& message);
    static void errorLog(const std::optional<std::string>& message);

    /// Runs the operation (if any) on this thread and writes "<message> 花费的时间为: <ms>ms" to
    /// the system log.
    static void calculateTimeWithMessage(const std::string& message,
                                         const std::function<void()>& operateBlock);

    static QelErrorPtr errorWithCode(int32_t code, const std::string& message);
    /// The record's "NSLocalizedDescriptionKey" entry, or "" (also for no record).
    static std::string errorMessage(const QelErrorPtr& error);

    /// Version of "Frameworks/<name>.framework/Info.plist" inside the host's main bundle: "" when
    /// the file is not there, absent when it lacks "CFBundleShortVersionString".
    static std::optional<std::string> moduleVersionWithName(const std::string& name);

    /// The first window of the host's window list that is the key window.
    static std::shared_ptr<QelWindow> keyWindow();

    /// The most bytes an avatar description may have: "avatar.json" read from disk, uploaded or
    /// saved, a description fetched from the cloud (as it is written to disk) and a build's
    /// result; 64 KiB. Larger ones are refused before they are parsed. A description takes a
    /// few kilobytes, but parsing, applying, cloning and saving one costs up to some 60 times its
    /// size (an array of small numbers or empty containers), so this bound keeps the memory for
    /// one in the low megabytes and a process reading it far under 100 MiB.
    static constexpr size_t kMaxAvatarDescriptionBytes = size_t{64} << 10;

    /// True when a file or directory (or a link to one) is at the path.
    static bool isExist(const std::string& path);
    /// True when something exists at the path afterwards (an existing plain file counts).
    static bool createPath(const std::string& path);
    /// Removes a file or a whole directory; an empty path answers true, a missing one false.
    static bool removeFile(const std::string& path);
    /// Moves the top-level entries of `oldPath` (subdirectories with their contents) into
    /// `newPath`, never replacing anything, then removes `oldPath`. When an entry cannot be moved
    /// the answer is false and `oldPath` keeps it. The same directory (also spelt differently)
    /// answers true untouched; a `newPath` inside `oldPath` answers false untouched.
    static bool renamePath(const std::string& oldPath, const std::string& newPath);
    /// Writes an object or array as pretty-printed JSON, creating the parent directory, through a
    /// temporary file in the same directory that is flushed to disk and renamed over the target:
    /// a reader, a crash or a power loss sees the old file or the new one whole. Other values and
    /// text that is not UTF-8 answer false and write nothing.
    static bool saveContainer(const Json& container, const std::string& toPath);
    /// Names of the subdirectories (links to directories included), sorted case-insensitively.
    static std::vector<std::string> assembleDirectoryNamesWithPath(const std::string& path);
    /// Those of them that hold an "avatar.json" and are directories themselves: a link is no
    /// avatar directory, since reading or writing through it would leave the path.
    static std::vector<std::string> assembleAvatarIdsWithPath(const std::string& path);
    /// The query parameters of an http(s) URL as an object (a repeated key holds an array), or
    /// an absent value.
    static Json getURLParameters(const std::string& url);
};

}  // namespace velmora

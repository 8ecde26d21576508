#pragma once

#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "velmora/json.h"

// Item files below the download root, reached without leaving it: every directory on the way is
// opened without following symbolic links, so a link inside the root never leads outside it.
namespace velmora::detail {

/// An open file descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

/// A file id the store accepts: a relative path of plain names (no "", ".", ".." component, no
/// leading "/", no NUL) outside the SDK's own "GAvatarList" and "GGenerateJson".
bool isStorableFileId(const std::string& fileId);

/// The directory of a file id ("" for one at the root) and its last name.
std::pair<std::string, std::string> splitFileId(const std::string& fileId);

/// Opens (with `create`, making what is missing) the directory `relative` below `root`, refusing
/// symbolic links and non-directories on the way; -1 with errno set on failure. "" is the root.
int openDirectoryBeneath(const std::string& root, const std::string& relative, bool create);

/// What is at `fileId` below the root, without following links. Absent when nothing is there
/// or the way to it leaves the root.
enum class EntryKind { File, Directory, Other };
std::optional<EntryKind> entryBeneath(const std::string& root, const std::string& fileId);
/// The same for `name` in the directory open as `directory`.
std::optional<EntryKind> entryIn(int directory, const std::string& name);

/// True when the file at `fileId` is a plain file whose bytes match the item list entry: its
/// "size" when given, and its "md5", which must be given. Nothing else proves a file.
bool fileMatchesEntry(const std::string& root, const std::string& fileId, const Json& entry);

/// Removes the SDK's temporary files (".NAME.tmp-PID-N-R") left below `root` by processes that
/// no longer run; links are not followed. Answers how many went.
size_t removeLeftoverTemporaryFiles(const std::string& root);

/// Writes everything of the file system that holds `root` to disk; false when that failed.
bool syncFileSystemOf(const std::string& root);

}  // namespace velmora::detail

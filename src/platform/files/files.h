#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// True when a regular file exists at `path` (symlinks followed) and the
// current user may execute it.
bool isExecutableFile(const std::string& path);

enum class Symlinks { kDontFollow, kFollow };

// The modification time in seconds since 1970, nanoseconds as the fraction;
// nothing when the item cannot be examined. A final symlink is examined
// itself unless `symlinks` is kFollow.
std::optional<double> modificationTime(const std::string& path,
                                       Symlinks symlinks = Symlinks::kDontFollow);

// What tells one version of a file from another without reading it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;

  static FileIdentity of(const struct stat& st);
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

Result<FileIdentity> fileIdentity(int fd);

// Opens `path` (with O_CLOEXEC added to `flags`) only when it is a regular
// file: through a final symlink only with Symlinks::kFollow, and never
// waiting on a FIFO or a device, since the open is non-blocking and fstat
// then decides. Anything else fails with kNotRegularFile. The descriptor
// stays non-blocking, which means nothing for a regular file.
inline constexpr int kNotRegularFile = EINVAL;
Result<UniqueFd> openRegularFile(const std::string& path, int flags, mode_t mode = 0600,
                                 Symlinks finalSymlink = Symlinks::kDontFollow);
// The same for `path` relative to the open folder `folderFd`.
Result<UniqueFd> openRegularFileAt(int folderFd, const std::string& path, int flags,
                                   mode_t mode = 0600,
                                   Symlinks finalSymlink = Symlinks::kDontFollow);
// Opens `path` to be read, whatever it is (symlinks followed, close-on-exec),
// as a shell's `<` would: a FIFO waits for its writer.
Result<UniqueFd> openForReading(const std::string& path);
// True when `fd` is a pipe, a socket or a regular file: something that
// carries data, unlike a terminal or the null device.
bool carriesData(int fd);
Result<FileIdentity> fileIdentity(const std::string& path, Symlinks symlinks = Symlinks::kFollow);

// Removes `path` and, for a folder, everything in it, never following a
// symlink. Folders are made accessible to us first, as an unpacked archive
// may have left some without write or search permission. An absent `path`
// is no error; on errors it goes on and removes what it can.
Status removeTree(const std::string& path);

}  // namespace zefra::platform

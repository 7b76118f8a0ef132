#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/result.h"

// Whole-item file operations, as a file manager performs them.
namespace zefra::platform {

// $TMPDIR when it names a directory, else /tmp; symlinks resolved, so that
// paths built under it contain none.
std::string temporaryDirectory();

// A new private folder in temporaryDirectory() whose name starts with
// `prefix`.
Result<std::string> makeTemporaryDirectory(const std::string& prefix);

// Creates `path` and any missing parents with `mode`; an existing directory
// counts as success.
Status createDirectories(const std::string& path, mode_t mode);

// True when `path` itself (not a symlink to one) is a directory.
bool isRealDirectory(const std::string& path);

// The names in `path`, hidden ones included, in directory order; a symlink
// at `path` is not followed.
Result<std::vector<std::string>> listDirectory(const std::string& path);
// The same for the open folder `folderFd` (at `path`, for messages).
Result<std::vector<std::string>> listDirectory(int folderFd, const std::string& path);

// Moves an item to a path that must not exist: a rename within one file
// system; across file systems a copy (modes and symlinks kept, nothing
// followed) and then removal of the source. A failed copy leaves no part of
// the target behind.
Status moveItem(const std::string& from, const std::string& to);

// Copies an item to a path that must not exist, as moveItem does.
Status copyItem(const std::string& from, const std::string& to);

// Swaps two items of one file system in one step. Error code EINVAL or
// ENOSYS means the file system cannot.
Status exchangeItems(const std::string& first, const std::string& second);

// Removes an item and everything below it; an absent item counts as removed.
Status removeItem(const std::string& path);

}  // namespace zefra::platform

#include "platform/files/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "base/eintr.h"
#include "platform/files/file_moves.h"

namespace zefra::platform {
namespace {

std::int64_t nanoseconds(const struct timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int statPath(const std::string& path, Symlinks symlinks, struct stat* st) {
  return symlinks == Symlinks::kFollow ? ::stat(path.c_str(), st) : ::lstat(path.c_str(), st);
}

// The names in the open folder `dir` (at `path`, for messages), in the
// reverse of their listing order, so that taking them from the back keeps it.
Result<std::vector<std::string>> namesIn(int dir, const std::string& path) {
  auto names = listDirectory(dir, path);
  if (names) std::reverse(names->begin(), names->end());
  return names;
}

// A folder on the way down: which one it is, so that the climb back to it
// can be checked, and the names in it still to be removed.
struct Level {
  dev_t device = 0;
  ino_t inode = 0;
  std::vector<std::string> names;
};

// The entries of the open folder `top` (at `path`, for messages), removed.
// Without recursion and with three descriptors at most, however deep the
// tree: a confined tool can make one deeper than any stack in its temporary
// folder. The way up is "..", checked against the folder we came down from,
// so that a folder renamed meanwhile cannot lead the walk out of the tree.
Status removeEntries(int top, std::string path) {
  Status result = Ok{};
  auto keep = [&](Status status) {
    if (result && !status) result = std::move(status);
  };
  std::vector<Level> levels;
  UniqueFd dir;
  auto enter = [&](UniqueFd folder) {
    struct stat st;
    Level level;
    if (::fstat(folder.get(), &st) == 0) {
      level.device = st.st_dev;
      level.inode = st.st_ino;
    }
    auto names = namesIn(folder.get(), path);
    if (names) {
      level.names = std::move(names).value();
    } else {
      keep(names.error());
    }
    levels.push_back(std::move(level));
    dir = std::move(folder);
  };
  UniqueFd first(::openat(top, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!first) return errnoError("Cannot list " + path, errno);
  enter(std::move(first));
  while (!levels.empty()) {
    if (levels.back().names.empty()) {
      levels.pop_back();
      if (levels.empty()) break;
      UniqueFd parent(::openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st;
      if (!parent || ::fstat(parent.get(), &st) != 0 || st.st_dev != levels.back().device ||
          st.st_ino != levels.back().inode) {
        keep(Error{ESTALE, "Cannot remove " + path + ": it was moved while being removed"});
        return result;
      }
      dir = std::move(parent);
      const std::size_t slash = path.rfind('/');
      const std::string name = path.substr(slash + 1);
      path.resize(slash);
      if (::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR) != 0) {
        keep(errnoError("Cannot remove " + path + "/" + name, errno));
      }
      continue;
    }
    const std::string name = std::move(levels.back().names.back());
    levels.back().names.pop_back();
    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (void)::fchmodat(dir.get(), name.c_str(), 0700, 0);
      UniqueFd sub(
          ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub) {
        path += "/" + name;
        enter(std::move(sub));
        continue;  // removed on the way back up
      }
    }
    if (::unlinkat(dir.get(), name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
      keep(errnoError("Cannot remove " + path + "/" + name, errno));
    }
  }
  return result;
}

}  // namespace

Status removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? Status(Ok{}) : errnoError("Cannot remove " + path, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return errnoError("Cannot remove " + path, errno);
    return Ok{};
  }
  (void)::chmod(path.c_str(), 0700);
  Status emptied = Ok{};
  if (UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)); dir) {
    emptied = removeEntries(dir.get(), path);
  }
  if (::rmdir(path.c_str()) != 0) {
    return emptied ? errnoError("Cannot remove " + path, errno) : emptied;
  }
  return Ok{};
}

bool isExecutableFile(const std::string& path) {
  if (path.empty() || ::access(path.c_str(), X_OK) != 0) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<double> modificationTime(const std::string& path, Symlinks symlinks) {
  struct stat st;
  if (path.empty() || statPath(path, symlinks, &st) != 0) return std::nullopt;
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

FileIdentity FileIdentity::of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                      nanoseconds(st.st_ctim)};
}

Result<FileIdentity> fileIdentity(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errnoError("fstat", errno);
  return FileIdentity::of(st);
}

Result<UniqueFd> openRegularFile(const std::string& path, int flags, mode_t mode,
                                 Symlinks finalSymlink) {
  return openRegularFileAt(AT_FDCWD, path, flags, mode, finalSymlink);
}

Result<UniqueFd> openRegularFileAt(int folderFd, const std::string& path, int flags, mode_t mode,
                                   Symlinks finalSymlink) {
  if (finalSymlink == Symlinks::kDontFollow) flags |= O_NOFOLLOW;
  UniqueFd fd(::openat(folderFd, path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
  if (!fd) {
    // A final symlink, a folder opened for writing, a FIFO without a reader.
    if (errno == ELOOP || errno == EISDIR || errno == ENXIO) {
      return Error{kNotRegularFile, path + " is not a regular file"};
    }
    return errnoError("open " + path, errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errnoError("fstat " + path, errno);
  if (!S_ISREG(st.st_mode)) return Error{kNotRegularFile, path + " is not a regular file"};
  return fd;
}

Result<UniqueFd> openForReading(const std::string& path) {
  UniqueFd fd(
      base::retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }));
  if (!fd) return errnoError("open " + path, errno);
  return fd;
}

bool carriesData(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISREG(st.st_mode);
}

Result<FileIdentity> fileIdentity(const std::string& path, Symlinks symlinks) {
  struct stat st;
  if (statPath(path, symlinks, &st) != 0) return errnoError("stat " + path, errno);
  return FileIdentity::of(st);
}

}  // namespace zefra::platform

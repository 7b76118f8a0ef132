#include "platform/files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "base/eintr.h"

namespace zefra::platform {
namespace {

std::int64_t nanoseconds(const struct timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int statPath(const std::string& path, Symlinks symlinks, struct stat* st) {
  return symlinks == Symlinks::kFollow ? ::stat(path.c_str(), st) : ::lstat(path.c_str(), st);
}

// The entries of the open folder `dir` (at `path`, for messages), removed.
Status removeEntries(int dir, const std::string& path) {
  std::vector<std::string> names;
  {
    UniqueFd listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!stream) return errnoError("Cannot list " + path, errno);
    listing.release();
    while (const dirent* entry = ::readdir(stream)) {
      std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(stream);
  }
  Status result = Ok{};
  auto keep = [&](Status status) {
    if (result && !status) result = std::move(status);
  };
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (void)::fchmodat(dir, name.c_str(), 0700, 0);
      UniqueFd sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub) keep(removeEntries(sub.get(), path + "/" + name));
    }
    if (::unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
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

Result<UniqueFd> openRegularFile(const std::string& path, int flags, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode));
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

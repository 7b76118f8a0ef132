#include "platform/files.h"

#include <unistd.h>

#include <cerrno>

namespace zefra::platform {
namespace {

std::int64_t nanoseconds(const struct timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int statPath(const std::string& path, Symlinks symlinks, struct stat* st) {
  return symlinks == Symlinks::kFollow ? ::stat(path.c_str(), st) : ::lstat(path.c_str(), st);
}

}  // namespace

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

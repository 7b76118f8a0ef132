#include "platform/process/private_temp_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "base/eintr.h"
#include "platform/files/file_moves.h"
#include "platform/files/files.h"

namespace zefra::platform {

namespace {
constexpr std::string_view kPrefix = "zefra-run-";
}  // namespace

Result<PrivateTempDir> PrivateTempDir::make() {
  // A sweep may take the folder between mkdtemp and the lock, or hold it
  // while it does; another name is then tried. Never waits on the lock: any
  // program of the user could hold it for ever.
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto made = makeTemporaryDirectory(std::string(kPrefix));
    if (!made) {
      return Error{made.error().code,
                   "Could not make a temporary folder for the run: " + made.error().message};
    }
    std::string path = std::move(made).value();
    base::UniqueFd lock(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock && errno == ENOENT) continue;
    if (!lock) {
      const int err = errno;
      (void)::rmdir(path.c_str());
      return errnoError("Could not hold the temporary folder for the run " + path, err);
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
      (void)::rmdir(path.c_str());
      continue;
    }
    // Where the file system has no such locks (some network ones) the
    // folder goes unlocked: a sweep there cannot lock it either, so never
    // takes it.
    PrivateTempDir folder(std::move(path), std::move(lock));
    if (folder.inPlace()) return folder;
  }
  return Error{EAGAIN, "Could not make a temporary folder for the run in " + temporaryDirectory() +
                           ": each one made was taken or held by another program at once"};
}

bool PrivateTempDir::inPlace() const {
  struct stat held {};
  struct stat named {};
  return ::fstat(lock_.get(), &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void PrivateTempDir::removeLeftBehind() {
  const std::string base = temporaryDirectory();
  auto names = listDirectory(base);
  base::UniqueFd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!names || !dir) return;
  for (const std::string& name : *names) {
    if (!name.starts_with(kPrefix)) continue;
    base::UniqueFd folder(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid()) continue;
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) continue;
    // Removes only an empty folder.
    (void)::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR);
  }
}

PrivateTempDir::PrivateTempDir(PrivateTempDir&& other) noexcept
    : path_(std::exchange(other.path_, std::string())), lock_(std::move(other.lock_)) {}

PrivateTempDir::~PrivateTempDir() {
  if (path_.empty()) return;
  // Most tools leave it empty; each step of the full walk is a write to the
  // file system's journal.
  if (::rmdir(path_.c_str()) != 0) (void)removeTree(path_);
}

}  // namespace zefra::platform

#include "platform/files/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/files/pipe_io.h"

namespace zefra::platform {
namespace {

std::string parentDirectory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

Status syncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errnoError("open " + dir, errno);
  if (::fsync(fd.get()) != 0) return errnoError("fsync " + dir, errno);
  return Ok{};
}

}  // namespace

Result<AtomicFile> AtomicFile::create(const std::string& target, mode_t mode) {
  std::string temporary = target + ".tmp";
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
    return errnoError("remove the stale " + temporary, errno);
  }
  // O_EXCL with O_NOFOLLOW creates a fresh file or fails: a link put back in
  // the meantime is never written through.
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) return errnoError("create " + temporary, errno);
  return AtomicFile(target, std::move(temporary), std::move(fd));
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::move(other.fd_)),
      pending_(std::exchange(other.pending_, false)) {}

AtomicFile::~AtomicFile() {
  if (pending_ && temporaryIsOurs()) ::unlink(temporary_.c_str());
}

bool AtomicFile::temporaryIsOurs() const {
  struct stat ours, there;
  return fd_ && ::fstat(fd_.get(), &ours) == 0 && ::lstat(temporary_.c_str(), &there) == 0 &&
         ours.st_dev == there.st_dev && ours.st_ino == there.st_ino;
}

Status AtomicFile::write(std::string_view bytes) {
  if (auto status = writeAll(fd_.get(), bytes); !status) {
    return Error{status.error().code, temporary_ + ": " + status.error().message};
  }
  return Ok{};
}

Status AtomicFile::commit() {
  if (::fsync(fd_.get()) != 0) return errnoError("fsync " + temporary_, errno);
  if (!temporaryIsOurs()) return Error{EBUSY, temporary_ + " was replaced by another writer"};
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    return errnoError("rename " + temporary_, errno);
  }
  pending_ = false;
  return syncDirectory(parentDirectory(target_));
}

Status writeFileAtomically(const std::string& target, std::string_view contents, mode_t mode) {
  auto file = AtomicFile::create(target, mode);
  if (!file) return file.error();
  if (auto written = file->write(contents); !written) return written;
  return file->commit();
}

}  // namespace zefra::platform

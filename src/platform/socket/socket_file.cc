#include "platform/socket/socket_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/eintr.h"
#include "base/no_destructor.h"
#include "platform/socket/unix_address.h"

namespace zefra::platform {

void removeIfOurs(const SocketFile& file) {
  struct stat st;
  if (::lstat(file.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == file.device &&
      st.st_ino == file.inode) {
    ::unlink(file.path.c_str());
  }
}

SocketFiles& SocketFiles::shared() {
  static base::NoDestructor<SocketFiles> files;
  return files.get();
}

void SocketFiles::add(const void* owner, SocketFile file) {
  std::lock_guard lock(mu_);
  if (!hooked_) {
    hooked_ = true;
    pid_ = ::getpid();
    std::atexit([] { shared().removeAll(); });
  }
  files_[owner] = std::move(file);
}

void SocketFiles::remove(const void* owner) {
  std::lock_guard lock(mu_);
  if (auto found = files_.find(owner); found != files_.end()) {
    removeIfOurs(found->second);
    files_.erase(found);
  }
}

void SocketFiles::removeAll() {
  std::lock_guard lock(mu_);
  // A forked child exiting must not take its parent's sockets away.
  if (::getpid() != pid_) return;
  for (const auto& [owner, file] : files_) removeIfOurs(file);
  files_.clear();
}

namespace {

Error liveOwner(const std::string& path) {
  return Error{EADDRINUSE, "another instance already serves " + path};
}

// Whether something answers on the socket file at `path`.
Result<bool> answers(const std::string& path) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return errnoError("cannot create a socket", errno);
  sockaddr_un address = unixAddress(path);
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  switch (errno) {
    case EAGAIN:  // alive, with a full backlog
      return true;
    case ECONNREFUSED:  // left behind by a process that has gone
    case ENOENT:
      return false;
    default:
      return errnoError("cannot probe " + path, errno);
  }
}

}  // namespace

Result<UniqueFd> bindSocketFile(const std::string& path, SocketFile& file) {
  // Two instances starting at once take turns, so neither removes the
  // other's fresh socket as stale.
  UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return errnoError("cannot open " + path + ".lock", errno);
  if (base::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX); }) != 0) {
    return errnoError("cannot lock " + path + ".lock", errno);
  }

  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return Error{EEXIST, path + " exists and is not a socket; leaving it alone"};
    }
    Result<bool> live = answers(path);
    if (!live) return live.error();
    if (*live) return liveOwner(path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return errnoError("cannot remove the stale socket " + path, errno);
    }
  } else if (errno != ENOENT) {
    return errnoError("cannot look at " + path, errno);
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return errnoError("cannot create a socket", errno);
  sockaddr_un address = unixAddress(path);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EADDRINUSE) return liveOwner(path);
    return errnoError("cannot bind " + path, errno);
  }
  if (::lstat(path.c_str(), &st) != 0) return errnoError("cannot look at " + path, errno);
  file = SocketFile{path, st.st_dev, st.st_ino};
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    const int err = errno;
    removeIfOurs(file);
    return errnoError("cannot listen on " + path, err);
  }
  return fd;
}

}  // namespace zefra::platform

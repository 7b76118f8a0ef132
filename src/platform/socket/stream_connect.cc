#include "platform/socket/stream_connect.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>

#include "base/eintr.h"
#include "platform/socket/unix_address.h"

namespace zefra::platform {

Result<UniqueFd> connectStream(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return errnoError("cannot create a socket", errno);
  const sockaddr_un address = unixAddress(path);
  timeval patience{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  if (base::retryOnEintr([&] {
        return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      }) != 0) {
    return errnoError("cannot connect to " + path, errno);
  }
  timeval forever{0, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &forever, sizeof forever);
  return fd;
}

Result<uid_t> listenerUser(int fd) {
  struct ucred listener {};
  socklen_t length = sizeof listener;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &listener, &length) != 0) {
    return errnoError("cannot tell who listens", errno);
  }
  return listener.uid;
}

}  // namespace zefra::platform

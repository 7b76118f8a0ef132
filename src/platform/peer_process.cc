#include "platform/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; the C library headers here predate it
#endif

namespace zefra::platform {

Result<struct ucred> peerCredentials(int socketFd) {
  struct ucred cred {};
  socklen_t length = sizeof cred;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
    return errnoError("cannot identify the peer", errno);
  }
  // A peer in another pid namespace shows as pid 0.
  if (cred.pid <= 0) return Error{0, "the peer's process is not visible"};
  return cred;
}

Result<pid_t> peerPid(int socketFd) {
  auto cred = peerCredentials(socketFd);
  if (!cred) return cred.error();
  return cred->pid;
}

Result<PeerProcess> identifyPeer(int socketFd) {
  auto cred = peerCredentials(socketFd);
  if (!cred) return cred.error();
  PeerProcess peer;
  peer.pid = cred->pid;
  peer.uid = cred->uid;
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
    peer.pidfd.reset(pidfd);
  } else if (errno == ENOPROTOOPT) {
    // Older kernels: the pid could in principle be reused between connect
    // and here; the liveness check below still catches a peer that is gone.
    peer.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0)));
    if (!peer.pidfd) return errnoError("the peer's process is gone", errno);
  } else {
    return errnoError("the peer's process is gone", errno);
  }
  return peer;
}

Result<UniqueFd> openRunningImage(const PeerProcess& peer) {
  std::string path = "/proc/" + std::to_string(peer.pid) + "/exe";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errnoError("cannot open the peer's executable", errno);
  return fd;
}

bool runsAsOurUser(const PeerProcess& peer) {
  return peer.uid == ::geteuid();
}

bool stillRunning(const PeerProcess& peer) {
  struct pollfd poller {
    peer.pidfd.get(), POLLIN, 0
  };
  for (;;) {
    int ready = ::poll(&poller, 1, 0);
    if (ready == 0) return true;
    if (ready < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace zefra::platform

#include "platform/process/peer_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <string>

#include "platform/process/pidfd.h"
#include "platform/process/proc_entries.h"

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
    auto opened = openPidfd(peer.pid);
    if (!opened) return opened.error();
    peer.pidfd = std::move(*opened);
  } else {
    return errnoError("the peer's process is gone", errno);
  }
  return peer;
}

Result<UniqueFd> holdRunningImage(const PeerProcess& peer) {
  const std::string path = procPath(peer.pid, "exe");
  UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd) return errnoError("cannot open the peer's executable", errno);
  return fd;
}

Result<std::string> runningImagePath(const PeerProcess& peer) {
  char buffer[PATH_MAX + 1];
  const ssize_t length = ::readlink(procPath(peer.pid, "exe").c_str(), buffer, sizeof buffer);
  if (length < 0 || length > PATH_MAX)
    return errnoError("cannot name the peer's executable", errno);
  return std::string(buffer, static_cast<std::size_t>(length));
}

Result<UniqueFd> openHeldFile(int heldFd) {
  const std::string path = ownProcPath("fd/" + std::to_string(heldFd));
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errnoError("cannot open the peer's executable", errno);
  return fd;
}

bool runsAsOurUser(const PeerProcess& peer) {
  return peer.uid == ::geteuid();
}

bool stillRunning(const PeerProcess& peer) {
  return pidfdIsRunning(peer.pidfd.get());
}

Result<bool> sharesOurNamespace(const PeerProcess& peer, const std::string& kind) {
  // The helper never changes its own namespaces: each is looked up once.
  static std::mutex mu;
  static std::map<std::string, struct stat, std::less<>> own;
  struct stat ours {};
  {
    std::lock_guard lock(mu);
    if (auto known = own.find(kind); known != own.end()) {
      ours = known->second;
    } else if (::stat(ownProcPath("ns/" + kind).c_str(), &ours) == 0) {
      own.emplace(kind, ours);
    } else {
      return errnoError("cannot read the helper's " + kind + " namespace", errno);
    }
  }
  struct stat theirs {};
  const std::string path = procPath(peer.pid, "ns/" + kind);
  if (::stat(path.c_str(), &theirs) != 0) {
    return errnoError("cannot read the peer's " + kind + " namespace", errno);
  }
  return ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

}  // namespace zefra::platform

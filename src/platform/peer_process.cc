#include "platform/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/clock.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; the C library headers here predate it
#endif

namespace zefra::platform {
namespace {

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

bool racy(const FileIdentity& id) {
  double changed = static_cast<double>(std::max(id.mtimeNs, id.ctimeNs)) / 1e9;
  return changed > now() - PeerCodeChecker::kRacySeconds;
}

}  // namespace

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

Result<SigningInfo> PeerCodeChecker::verifyImage(int imageFd) {
  auto before = fileIdentity(imageFd);
  if (!before) return before.error();
  Key key = keyOf(*before);
  {
    std::lock_guard lock(mu_);
    if (auto hit = cache_.find(key); hit != cache_.end()) {
      if (!racy(*before)) {
        ++stats_.cacheHits;
        return hit->second;
      }
      cache_.erase(hit);
    }
  }
  auto info = verifyExecutable(imageFd, anchor_, options_.verify);
  auto after = fileIdentity(imageFd);
  std::lock_guard lock(mu_);
  ++stats_.verified;
  // Only a file that stayed the same while it was read, and whose
  // timestamps are old enough to tell a later rewrite, is remembered.
  if (info && after && *after == *before && !racy(*after)) {
    if (cache_.size() >= options_.cacheCapacity) cache_.erase(cache_.begin());
    cache_.emplace(key, *info);
  }
  return info;
}

Result<SigningInfo> PeerCodeChecker::check(int socketFd) {
  auto peer = identifyPeer(socketFd);
  if (!peer) return peer.error();
  if (peer->uid != ::geteuid()) return Error{0, "the peer runs as another user"};
  auto image = openRunningImage(*peer);
  if (!image) return image.error();
  auto info = verifyImage(image->get());
  if (!info) return info.error();
  if (options_.beforeLivenessCheck) options_.beforeLivenessCheck(*peer);
  if (!stillRunning(*peer)) return Error{0, "the peer exited during the check"};
  return info;
}

PeerCodeChecker::Stats PeerCodeChecker::stats() const {
  std::lock_guard lock(mu_);
  Stats stats = stats_;
  stats.cached = cache_.size();
  return stats;
}

void PeerCodeChecker::clearCache() {
  std::lock_guard lock(mu_);
  cache_.clear();
}

}  // namespace zefra::platform

#include "ipc/sender_gate.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "platform/process/pidfd.h"

#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76  // Linux 6.5; the C library headers here predate it
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif
#ifndef SO_PASSRIGHTS
#define SO_PASSRIGHTS 83  // Linux 6.16
#endif

namespace zefra::ipc {

Status SenderGate::enable(int socketFd, SenderIdentity identity) {
  const int on = 1;
  if (::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return errnoError("cannot identify the senders", errno);
  }
  if (identity == SenderIdentity::kPidfd &&
      ::setsockopt(socketFd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on) != 0 &&
      errno != ENOPROTOOPT) {
    return errnoError("cannot identify the senders by pidfd", errno);
  }
  // Refused at the sender: a descriptor we take may be one whose last close
  // blocks (a lingering TCP socket, a file of a server that never answers),
  // and that close would happen on the I/O thread. Older kernels deliver
  // them, and the reads that carry them close the connection.
  const int off = 0;
  if (::setsockopt(socketFd, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof off) != 0 &&
      errno != ENOPROTOOPT) {
    return errnoError("cannot refuse passed descriptors", errno);
  }
  return Ok{};
}

namespace {

// In a user namespace of its own a process may make /proc name any file as
// its program, so its program file proves nothing.
Status sharesOurNamespaces(const PeerProcess& peer, std::initializer_list<const char*> kinds) {
  for (const char* kind : kinds) {
    Result<bool> sameNamespace = sharesOurNamespace(peer, kind);
    if (!sameNamespace) return sameNamespace.error();
    if (!*sameNamespace) {
      const std::string where = std::string("another ") + kind + " namespace";
      platform::logVerbose("refused peer " + std::to_string(peer.pid) + ": in " + where);
      return Error{EPERM, "the peer lives in " + where};
    }
  }
  return Ok{};
}

}  // namespace

void SenderGate::admitPeer(int socketFd, SenderIdentity identity, const PeerAdmission& admission,
                           Admitted done) {
  Result<PeerProcess> identified = platform::identifyPeer(socketFd);
  if (!identified) return done(identified.error());
  auto peer = std::make_shared<const PeerProcess>(std::move(identified).value());
  if (Status shared = sharesOurNamespaces(*peer, {"pid", "user"}); !shared) {
    return done(shared.error());
  }
  // Opened before the check and confirmed after it: what was checked, and
  // whatever the process writes while the watch holds, is one program's.
  Result<ExecWatch> opened = ExecWatch::open(peer->pid);
  // Alive after the open: the pid still named this process when it was made.
  if (!opened || !stillRunning(*peer)) return done(Error{ESRCH, "the peer is gone"});
  auto watch = std::make_shared<ExecWatch>(std::move(opened).value());
  admission(peer, [peer, watch, identity, done = std::move(done)](Status verdict) {
    if (!verdict) return done(verdict.error());
    if (!watch->intact()) return done(Error{ESRCH, "the peer replaced its program"});
    // Again: it may have left while its program was looked at. None comes
    // back to an ancestor's namespace, so one still here was here throughout.
    // (A process's own pid namespace never changes.)
    if (Status shared = sharesOurNamespaces(*peer, {"user"}); !shared) return done(shared.error());
    std::optional<std::uint64_t> process;
    if (identity == SenderIdentity::kPidfd) process = platform::pidfdIdentity(peer->pidfd.get());
    done(std::make_unique<SenderGate>(peer, process, std::move(*watch)));
  });
}

ssize_t SenderGate::receive(int socketFd, std::span<char> space, ReadSender& sender) const {
  // Room for credentials, a pidfd and as many unwanted descriptors as one
  // message can carry (the kernel's SCM_MAX_FD): those a smaller buffer
  // left out would be released here, and the last close of some blocks.
  constexpr std::size_t kMostPassed = 253;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) +
                                CMSG_SPACE(kMostPassed * sizeof(int))];
  iovec iov{space.data(), space.size()};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t count = base::retryOnEintr(
      [&] { return ::recvmsg(socketFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC); });
  if (count < 0) return count;
  if (message.msg_flags & MSG_CTRUNC) sender.passedDescriptors = true;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    const std::size_t payload = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == SCM_CREDENTIALS && payload >= sizeof(ucred)) {
      ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
      sender.pid = cred.pid;
    } else if (c->cmsg_type == SCM_PIDFD && payload >= sizeof(int)) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      UniqueFd pidfd(fd);
      // The gate checked at admission that pidfds live on pidfs, whose
      // inode numbers name processes: one fstat, and the descriptor goes.
      struct stat st {};
      if (process_ && ::fstat(fd, &st) == 0) sender.process = st.st_ino;
    } else if (c->cmsg_type == SCM_RIGHTS) {
      sender.passedDescriptors = true;
      std::vector<int> passed(payload / sizeof(int));
      std::memcpy(passed.data(), CMSG_DATA(c), passed.size() * sizeof(int));
      // Closed off the I/O thread: the last close of some may block.
      platform::globalQueue().async([passed] {
        for (int fd : passed) ::close(fd);
      });
    }
  }
  return count;
}

bool SenderGate::admits(const ReadSender& sender) const {
  const bool same =
      process_ ? sender.process == process_ : sender.pid > 0 && sender.pid == peer_->pid;
  // The watch reads empty once the process has exec'd or ended, and a pid is
  // only reused after its process has ended.
  return same && watch_.intact();
}

}  // namespace zefra::ipc

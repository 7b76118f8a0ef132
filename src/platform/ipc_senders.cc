#include "platform/ipc_senders.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/pidfd.h"

#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76  // Linux 6.5; the C library headers here predate it
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace zefra::platform {

Status SenderGate::enable(int socketFd, SenderIdentity identity) {
  const int on = 1;
  if (::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return errnoError("cannot identify the senders", errno);
  }
  if (identity == SenderIdentity::kPidfd &&
      ::setsockopt(socketFd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on) != 0) {
    return errnoError("cannot identify the senders by pidfd", errno);
  }
  return Ok{};
}

ssize_t SenderGate::receive(int socketFd, std::span<char> space, ReadSender& sender) const {
  // Room for credentials, a pidfd and a few descriptors that are not wanted.
  alignas(cmsghdr) char
      control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(16 * sizeof(int))];
  iovec iov{space.data(), space.size()};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t count;
  do {
    count = ::recvmsg(socketFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return count;
  if (message.msg_flags & MSG_CTRUNC) sender.passedDescriptors = true;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    const std::size_t payload = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == SCM_CREDENTIALS && payload >= sizeof(ucred)) {
      ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
      sender.pid = cred.pid;
      sender.uid = cred.uid;
    } else if (c->cmsg_type == SCM_PIDFD && payload >= sizeof(int)) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      sender.pidfd.reset(fd);
    } else if (c->cmsg_type == SCM_RIGHTS) {
      sender.passedDescriptors = true;
      for (std::size_t i = 0; i < payload / sizeof(int); ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        UniqueFd close(fd);
      }
    }
  }
  return count;
}

bool SenderGate::known(const ReadSender& sender) const {
  const pid_t pid = sender.pid;
  if (pid <= 0) return false;
  for (const Verified& entry : verified_) {
    if (entry.pid != pid) continue;
    // A live pidfd means the pid still names that process; the watch says it
    // still runs the program that was verified.
    return pidfdIsRunning(entry.pidfd.get()) && entry.watch->intact() &&
           (!sender.pidfd || pidfdIsRunning(sender.pidfd.get()));
  }
  return false;
}

Result<SenderGate::Verified> SenderGate::verify(ReadSender sender) const {
  const pid_t pid = sender.pid;
  if (pid <= 0) return Error{ESRCH, "sender not visible"};
  PeerProcess process;
  process.pid = pid;
  process.uid = sender.uid;
  if (identity_ == SenderIdentity::kPidfd && sender.pidfd) {
    process.pidfd = std::move(sender.pidfd);
  } else {
    Result<UniqueFd> opened = openPidfd(pid);
    if (!opened) return Error{ESRCH, "sender gone"};
    process.pidfd = std::move(opened).value();
  }
  Result<ExecWatch> watch = ExecWatch::open(pid);
  if (!watch) return Error{ESRCH, "sender gone"};
  if (Status checked = check_(process); !checked) return checked.error();
  if (!watch->intact()) return Error{ESRCH, "sender replaced its program during the check"};
  Verified verified;
  verified.pid = pid;
  verified.pidfd = std::move(process.pidfd);
  verified.watch = std::move(watch).value();
  return verified;
}

void SenderGate::remember(Verified verified) {
  std::erase_if(verified_, [&](const Verified& entry) { return entry.pid == verified.pid; });
  if (verified_.size() >= kCapacity) verified_.erase(verified_.begin());
  verified_.push_back(std::move(verified));
}

}  // namespace zefra::platform

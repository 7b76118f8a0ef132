#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/peer_process.h"
#include "platform/process_image.h"
#include "platform/result.h"
#include "platform/unique_fd.h"

namespace zefra::platform {

// Decides whether a process may send frames; the reason when it may not.
using SenderCheck = std::function<Status(const PeerProcess& sender)>;

enum class SenderIdentity {
  // SCM_CREDENTIALS: the sender's pid with each read, pinned by pidfd_open
  // when first seen. Cheapest; a sender that exits and whose pid is reused
  // before its bytes are read is mistaken for the new process.
  kCredentials,
  // SCM_PIDFD as well (Linux 6.5): the kernel pins the sender itself, at the
  // cost of a new descriptor per read.
  kPidfd,
};

// Who wrote the bytes of one read.
struct ReadSender {
  pid_t pid = 0;  // 0: none attached (another pid namespace), never admitted
  uid_t uid = static_cast<uid_t>(-1);
  UniqueFd pidfd;
  bool passedDescriptors = false;
};

// Identifies the sender of every read of a stream socket and remembers the
// few processes that passed the check, so that a read from one of them costs
// two system calls and no file access.
class SenderGate {
 public:
  SenderGate(SenderCheck check, SenderIdentity identity)
      : check_(std::move(check)), identity_(identity) {}

  // Asks the kernel to attach senders to what `socketFd` receives (a
  // listening socket passes the option to the connections it accepts).
  static Status enable(int socketFd, SenderIdentity identity);

  // recv() that also fills `sender`; descriptors passed along are closed.
  ssize_t receive(int socketFd, std::span<char> space, ReadSender& sender) const;

  struct Verified {
    pid_t pid = 0;
    UniqueFd pidfd;
    std::optional<ExecWatch> watch;
  };
  // IPC thread. Whether the sender is a process already verified, still
  // alive and still running the program it was verified with.
  bool known(const ReadSender& sender) const;
  // Any thread: the full check of a sender not known. May take long.
  Result<Verified> verify(ReadSender sender) const;
  // IPC thread.
  void remember(Verified verified);

 private:
  static constexpr std::size_t kCapacity = 4;

  const SenderCheck check_;
  const SenderIdentity identity_;
  std::vector<Verified> verified_;  // most recent last
};

}  // namespace zefra::platform

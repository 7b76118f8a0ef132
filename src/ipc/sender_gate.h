#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "base/result.h"
#include "platform/process/peer_process.h"
#include "platform/process/process_image.h"

namespace zefra::ipc {

using platform::ExecWatch;
using platform::PeerProcess;

// Decides whether the process that connected may be served. Calls `done`
// exactly once, on any thread, possibly before it returns; the reason when
// it may not.
using PeerAdmission =
    std::function<void(std::shared_ptr<const PeerProcess> peer, std::function<void(Status)> done)>;

enum class SenderIdentity {
  // SCM_CREDENTIALS: the sender's pid with each read.
  kCredentials,
  // SCM_PIDFD (Linux 6.5): a pidfd of the sender with each read, compared by
  // its pidfs identity and closed at once: exact even across pid reuse, at
  // the cost of a descriptor made and closed per read.
  kPidfd,
};

// Who wrote the bytes of one read.
struct ReadSender {
  pid_t pid = 0;                         // 0: none attached (another pid namespace), never admitted
  std::optional<std::uint64_t> process;  // the pidfd's identity (kPidfd)
  bool passedDescriptors = false;
};

// Binds a connection to the one process that connected, running the program
// it ran when it was admitted. Bytes that another process wrote, or that the
// same process wrote after an exec, are refused: what another program wrote
// cannot be told from what the admitted one writes, so a connection handed on
// or carried across an exec serves nobody.
class SenderGate {
 public:
  // Asks the kernel to attach senders to what `socketFd` receives, and to
  // refuse descriptors sent to it (Linux 6.16); a listening socket passes
  // both to the connections it accepts. Without SCM_PIDFD (kernels before
  // 6.5) senders are told by credentials.
  static Status enable(int socketFd, SenderIdentity identity);

  using Admitted = std::function<void(Result<std::unique_ptr<SenderGate>>)>;
  // Identifies the process that connected `socketFd` (SO_PEERPIDFD), refuses
  // it when it lives in another pid or user namespace, and otherwise asks
  // `admission`. `done` gets the gate of that process once it is admitted,
  // on whichever thread `admission` answers.
  static void admitPeer(int socketFd, SenderIdentity identity, const PeerAdmission& admission,
                        Admitted done);

  // recv() that also fills `sender`; descriptors passed along are closed.
  ssize_t receive(int socketFd, std::span<char> space, ReadSender& sender) const;

  // Whether the read came from the admitted process, still running the
  // program it ran when admitted.
  bool admits(const ReadSender& sender) const;

  SenderGate(std::shared_ptr<const PeerProcess> peer, std::optional<std::uint64_t> process,
             ExecWatch watch)
      : peer_(std::move(peer)), process_(process), watch_(std::move(watch)) {}

 private:
  // Its pidfd also keeps the kernel's pidfs entry of the process, which every
  // read's pidfd would otherwise make and free again.
  const std::shared_ptr<const PeerProcess> peer_;
  const std::optional<std::uint64_t> process_;  // set: reads are told by pidfd
  const ExecWatch watch_;
};

}  // namespace zefra::ipc

#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "ipc/exported_interface.h"
#include "ipc/sender_gate.h"
#include "platform/dispatch/queue.h"
#include "wire/codec.h"
#include "wire/message.h"

namespace zefra::ipc {

// The serving side of one accepted connection. Copies are handles to the same
// connection. Until resume() it reads nothing; then it sends the connection's
// nonce, takes nothing before the peer has sent it back, and checks each call
// against the exported interface on the I/O thread, and the calls that pass
// are run in order on a serial queue of this connection, so a slow call delays
// only its own connection. Any violation closes the connection without
// entering a method. The connection holds its exported object until it closes.
class ServerConnection {
 public:
  // Serves a connected socket (the listener's accepted peers, socket pairs).
  static Result<ServerConnection> adopt(UniqueFd socket);

  // The peer's process at connect time (SO_PEERCRED); 0 when unknown.
  pid_t processIdentifier() const;
  int nativeHandle() const;
  // Only before resume(): from then on every read must come from the
  // process `gate` admitted, still running the program it ran then; any
  // other sender, or descriptors passed along, close the connection before
  // its bytes are decoded.
  Status serveOnly(std::unique_ptr<SenderGate> gate);
  // Whether serveOnly() has bound the connection to an admitted process.
  bool peerAdmitted() const;
  // Both take effect only before resume().
  void setExportedInterface(std::shared_ptr<const wire::IpcInterface> interface);
  void setExportedObject(std::shared_ptr<IpcExportedObject> object);
  void resume();
  // Closes the connection; replies still to come are dropped.
  void invalidate();

  class Impl;
  explicit ServerConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace zefra::ipc

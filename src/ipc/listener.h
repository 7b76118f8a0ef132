#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"
#include "ipc/server_connection.h"

namespace zefra::ipc {

struct ListenerOptions {
  ListenerOptions() = default;
  ListenerOptions(std::optional<std::string> directory) : runtimeDirectory(std::move(directory)) {}

  // Instead of the environment's runtime directory (tests, demos).
  std::optional<std::string> runtimeDirectory;
  // When set, the process that connects is asked about first, without
  // holding a thread while it waits, and the handler sees only connections
  // it admitted; each then serves that process alone, running the program
  // it ran when admitted (see ServerConnection::serveOnly).
  PeerAdmission admission;
  SenderIdentity senderIdentity = SenderIdentity::kPidfd;
};

// Serves one service name. Each new peer is handed to the acceptance handler
// on the shared pool (never on the I/O thread), after the admission, when one
// is set, has admitted it. Acceptances run as many at once as there are
// processors, so a handler must not wait long.
// The handler configures the connection and returns true to keep it (the
// connection is then resumed if the handler has not done so), or false to
// close it without a word.
class Listener {
 public:
  using AcceptHandler = std::function<bool(ServerConnection& connection)>;

  // Adopts the socket that systemd handed over under this name, if any;
  // otherwise binds <runtime dir>/<serviceName>, replacing a socket file that
  // nobody answers on. Fails, and opens nothing, when another live instance
  // serves the path, when a file that is not a socket is in the way, or when
  // the runtime directory is refused.
  static Result<std::unique_ptr<Listener>> open(std::string_view serviceName, AcceptHandler handler,
                                                const ListenerOptions& options = {});
  // Stops accepting and removes the socket file if it is still ours. Open
  // connections stay.
  ~Listener();
  void close();

  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  const std::string& path() const;
  // True when systemd's socket was adopted (its path is not ours to remove).
  bool adopted() const;
  int nativeHandle() const;

  struct Impl;
  explicit Listener(std::shared_ptr<Impl> impl);

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace zefra::ipc

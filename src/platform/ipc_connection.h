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

#include "platform/ipc_senders.h"
#include "platform/queue.h"
#include "platform/result.h"
#include "platform/unique_fd.h"
#include "platform/wakeup.h"
#include "wire/codec.h"
#include "wire/message.h"

namespace zefra::platform {

// The reply of one call. Copies share one state: only the first send() of any
// copy goes out, from any thread. A reply to a connection that has closed is
// dropped silently.
class IpcReply {
 public:
  IpcReply() = default;
  void send(std::vector<wire::IpcValue> values) const;
  // False for a one-way call, which takes no reply.
  bool expected() const { return state_ != nullptr; }
  // Progress of the call ([3, callID, values...]), before its reply, from
  // the thread that will send the reply, so that the two keep their order.
  // False when it cannot go out: a one-way call, a reply already sent, a
  // closed connection.
  bool sendProgress(std::vector<wire::IpcValue> values) const;
  // Whether more than `limit` bytes wait to be written to the call's peer;
  // when so, `wake` is notified once some have gone out or the connection
  // has closed. False once the connection has closed.
  bool writeBacklogOver(std::size_t limit, const std::shared_ptr<Wakeup>& wake) const;

 private:
  friend class ServerConnection;
  struct State;
  std::shared_ptr<State> state_;
};

// The object a serving connection hands its calls to.
class IpcExportedObject {
 public:
  virtual ~IpcExportedObject() = default;
  // Turns a call whose arguments the interface has admitted into the work that
  // enters the method. An error (an operation the object does not offer,
  // values of the wrong shape) is a protocol violation: the connection closes
  // and no method is entered. Runs on the I/O thread and must not block.
  virtual Result<Work> bind(std::string_view selector, std::vector<wire::IpcValue> arguments,
                            IpcReply reply) = 0;
  // True for an operation that answers at once and never blocks: the
  // connection may run it on the I/O thread when none of its calls is
  // pending, which saves a thread hand-off on the hottest path.
  virtual bool isQuick(std::string_view /*selector*/) const { return false; }
  // The connection has closed: no reply can reach the peer any more. Runs on
  // the I/O thread, once, and must not block.
  virtual void connectionClosed() {}
};

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

// A call that streams its progress reads no more of what it streams while
// more than this waits to be written to its peer (the helper then stops
// reading a tool's output, and the tool blocks). What waits is bounded by
// this plus one chunk per streaming call.
inline constexpr std::size_t kProgressWriteBacklog = std::size_t{4} << 20;
// The calling side reads no more from its connection while more than this
// of progress waits to be handed to the calls' progress handlers, so a slow
// handler holds back the serving side rather than filling our memory.
inline constexpr std::size_t kProgressDeliveryBacklog = std::size_t{8} << 20;

// The error of a connect that found the service run by another user.
inline constexpr int kServedByAnotherUser = EPERM;

// Where a client connects.
struct ConnectOptions {
  // Instead of the environment's runtime directory (tests, demos).
  std::optional<std::string> runtimeDirectory;
};

// The calling side of a connection. Calls wait until the serving side's
// nonce has come and go out behind its answer. Replies and errors are
// delivered in order on a serial queue of the connection, never on the I/O
// thread. Destroying
// the connection closes it; calls still outstanding then get an error.
class ClientConnection {
 public:
  // Checks a reply's values and turns them into the work that delivers them
  // on the delivery queue. An error is a protocol violation. A binder that
  // only hands the values to a waiting thread may do so itself (it runs on
  // the I/O thread and must not block) and return an empty Work.
  using ReplyBinder = std::function<Result<Work>(std::vector<wire::IpcValue> values)>;
  using ErrorCallback = std::function<void(const Error& error)>;
  // Checks one progress message's values and turns them into the work that
  // delivers them on the delivery queue, ahead of the call's reply. An error
  // is a protocol violation.
  using ProgressBinder = std::function<Result<Work>(std::vector<wire::IpcValue> values)>;

  // Connects to a service, provided the process listening there runs as our
  // own user (else kServedByAnotherUser, before a byte is sent).
  // `remoteInterface` checks the replies.
  static Result<ClientConnection> connect(std::string_view serviceName,
                                          std::shared_ptr<const wire::IpcInterface> remoteInterface,
                                          const ConnectOptions& options = {});
  // Over an already connected socket (tests, socket pairs).
  static Result<ClientConnection> adopt(UniqueFd socket,
                                        std::shared_ptr<const wire::IpcInterface> remoteInterface);

  ClientConnection(ClientConnection&&) noexcept;
  ClientConnection& operator=(ClientConnection&&) noexcept;
  ~ClientConnection();

  // Sends a call; exactly one of `onReply`'s work or `onError` runs later.
  // An error of the connection (closed, violation, arguments that cannot be
  // encoded) goes to `onError`. Progress of a call without `onProgress` is
  // a protocol violation.
  void call(std::string_view selector, std::vector<wire::IpcValue> arguments, ReplyBinder onReply,
            ErrorCallback onError, ProgressBinder onProgress = nullptr);
  // Sends a one-way call; `onError` runs when it cannot be sent.
  void callOneWay(std::string_view selector, std::vector<wire::IpcValue> arguments,
                  ErrorCallback onError);
  // Closes the connection; outstanding calls get an error.
  void invalidate();
  int nativeHandle() const;

  class Impl;

 private:
  explicit ClientConnection(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace zefra::platform

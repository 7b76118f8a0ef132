#pragma once

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/dispatch/queue.h"
#include "wire/codec.h"
#include "wire/message.h"

namespace zefra::ipc {

using platform::Work;

// The error of a connect that found the service run by another user.
inline constexpr int kServedByAnotherUser = EPERM;

// The calling side reads no more from its connection while more than this
// of progress waits to be handed to the calls' progress handlers, so a slow
// handler holds back the serving side rather than filling our memory.
inline constexpr std::size_t kProgressDeliveryBacklog = std::size_t{8} << 20;
// What one waiting progress message counts for besides its bytes.
inline constexpr std::size_t kProgressEntryCost = 256;

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
  // Sends a one-way call; `onError` runs when the connection cannot take
  // it. One that it took is lost without notice if it closes before writing
  // it out; the helper ends the connection's runs as it closes anyway.
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

}  // namespace zefra::ipc

#include "ipc/listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/no_destructor.h"
#include "ipc/framed_socket.h"
#include "platform/log.h"
#include "platform/socket/runtime_dir.h"
#include "platform/socket/socket_activation.h"
#include "platform/socket/socket_file.h"

namespace zefra::ipc {

namespace {

// Acceptance is cheap unless a program must be hashed, which the code check
// does elsewhere: as many at once as there are processors, so that a flood
// of connections leaves the I/O thread its share of them.
platform::NarrowQueue& acceptQueue() {
  static base::NoDestructor<platform::NarrowQueue> queue(
      std::max(2u, std::thread::hardware_concurrency()));
  return queue.get();
}

}  // namespace

struct Listener::Impl : std::enable_shared_from_this<Listener::Impl> {
  Impl(AcceptHandler handler, std::string path, bool adopted, const ListenerOptions& options)
      : handler(std::move(handler)),
        path(std::move(path)),
        adopted(adopted),
        admission(options.admission),
        senderIdentity(options.senderIdentity) {}

  void waitForPeers() {
    acceptor.async_wait(asio::socket_base::wait_read,
                        [self = shared_from_this()](const std::error_code& error) {
                          if (!error) self->acceptPending();
                        });
  }

  void acceptPending() {
    constexpr int kAcceptsPerTurn = 16;  // then let the connections have the thread
    for (int turn = 0;; ++turn) {
      if (turn == kAcceptsPerTurn) {
        asio::post(ipcContext(), [self = shared_from_this()] { self->acceptPending(); });
        return;
      }
      const int fd =
          ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        hand(UniqueFd(fd));
        continue;
      }
      switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
          continue;
        case EAGAIN:
          return waitForPeers();
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
          // Out of descriptors: pause instead of spinning on a readable socket.
          backoff.expires_after(std::chrono::milliseconds(100));
          backoff.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error) self->waitForPeers();
          });
          return;
        default:
          return;  // closed
      }
    }
  }

  void hand(UniqueFd fd) {
    Result<ServerConnection> connection = ServerConnection::adopt(std::move(fd));
    if (!connection) return;
    // Kernels before 6.16 pass the option on at accept only.
    if (admission && !SenderGate::enable(connection->nativeHandle(), senderIdentity)) return;
    acceptQueue().async([self = shared_from_this(),
                         connection = std::move(connection).value()]() mutable {
      if (!self->admission) return self->decide(connection);
      SenderGate::admitPeer(connection.nativeHandle(), self->senderIdentity, self->admission,
                            [self, connection](Result<std::unique_ptr<SenderGate>> gate) mutable {
                              if (!gate || !connection.serveOnly(std::move(gate).value())) {
                                return connection.invalidate();
                              }
                              self->decide(connection);
                            });
    });
  }

  void decide(ServerConnection& connection) {
    if (handler(connection)) {
      connection.resume();
    } else {
      connection.invalidate();
    }
  }

  asio::local::stream_protocol::acceptor acceptor{ipcContext()};
  asio::steady_timer backoff{ipcContext()};
  const AcceptHandler handler;
  const std::string path;
  const bool adopted;
  const PeerAdmission admission;
  const SenderIdentity senderIdentity;
  int fd = -1;
  std::atomic<bool> closed{false};
};

Listener::Listener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

namespace {

Result<std::unique_ptr<Listener>> openUnlogged(std::string_view serviceName,
                                               Listener::AcceptHandler handler,
                                               const ListenerOptions& options);

Result<std::unique_ptr<Listener>> logged(std::string_view serviceName,
                                         Result<std::unique_ptr<Listener>> listener) {
  // Failures are the caller's to log: it knows whether a name left out matters.
  if (listener) {
    platform::logVerbose(std::string((*listener)->adopted() ? "adopted the socket " : "bound ") +
                         (*listener)->path() + " for " + std::string(serviceName));
  }
  return listener;
}

}  // namespace

Result<std::unique_ptr<Listener>> Listener::open(std::string_view serviceName,
                                                 AcceptHandler handler,
                                                 const ListenerOptions& options) {
  return logged(serviceName, openUnlogged(serviceName, std::move(handler), options));
}

namespace {

Result<std::unique_ptr<Listener>> openUnlogged(std::string_view serviceName,
                                               Listener::AcceptHandler handler,
                                               const ListenerOptions& options) {
  Result<std::optional<UniqueFd>> activated = platform::takeActivatedSocket(serviceName);
  if (!activated) return activated.error();
  UniqueFd fd;
  std::string path;
  platform::SocketFile file;
  const bool adopted = activated->has_value();
  if (adopted) {
    fd = std::move(**activated);
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        length > offsetof(sockaddr_un, sun_path)) {
      path.assign(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
    }
  } else {
    Result<std::string> servicePathResult =
        platform::servicePath(serviceName, options.runtimeDirectory);
    if (!servicePathResult) return servicePathResult.error();
    path = std::move(servicePathResult).value();
    Result<UniqueFd> bound = platform::bindSocketFile(path, file);
    if (!bound) return bound.error();
    fd = std::move(bound).value();
  }

  // Set on the listening socket, the option reaches a connection as it is
  // made, before its first bytes (Linux 6.16; older kernels at accept).
  if (options.admission) {
    if (Status enabled = SenderGate::enable(fd.get(), options.senderIdentity); !enabled) {
      if (!adopted) platform::removeIfOurs(file);
      return enabled.error();
    }
  }
  auto impl = std::make_shared<Listener::Impl>(std::move(handler), path, adopted, options);
  std::error_code error;
  impl->acceptor.assign(asio::local::stream_protocol(), fd.get(), error);
  if (error) {
    if (!adopted) platform::removeIfOurs(file);
    return Error{error.value(), "cannot listen on " + path + ": " + error.message()};
  }
  impl->fd = fd.release();
  if (!adopted) platform::SocketFiles::shared().add(impl.get(), std::move(file));
  asio::post(ipcContext(), [impl] { impl->waitForPeers(); });
  return std::make_unique<Listener>(std::move(impl));
}

}  // namespace

Listener::~Listener() {
  close();
}

void Listener::close() {
  if (impl_->closed.exchange(true)) return;
  runOnIpcThread([impl = impl_] {
    std::error_code ignored;
    impl->backoff.cancel();
    impl->acceptor.close(ignored);
  });
  platform::SocketFiles::shared().remove(impl_.get());
}

const std::string& Listener::path() const {
  return impl_->path;
}
bool Listener::adopted() const {
  return impl_->adopted;
}
int Listener::nativeHandle() const {
  return impl_->fd;
}

}  // namespace zefra::ipc

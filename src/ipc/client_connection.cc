#include "ipc/client_connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "ipc/framed_socket.h"
#include "platform/socket/runtime_dir.h"
#include "platform/socket/stream_connect.h"
#include "wire/frame.h"

namespace zefra::ipc {

using wire::EncodedFrame;
using wire::encodeFrame;
using wire::IpcInterface;
using wire::IpcReplyMessage;
using wire::IpcValue;
using wire::ipcViolation;
using wire::kMaxCallFrameSize;
using wire::kMaxReplyFrameSize;
using wire::makeCallMessage;
using wire::parseReply;

class ClientConnection::Impl final : public FramedSocket {
 public:
  Impl(UniqueFd fd, std::shared_ptr<const IpcInterface> interface)
      : FramedSocket(std::move(fd), kMaxReplyFrameSize, Opening::kCalling),
        interface_(std::move(interface)),
        deliveries_("zefra.ipc.replies") {}

  void call(std::uint64_t callID, std::string_view selector, std::vector<IpcValue> arguments,
            ReplyBinder onReply, ErrorCallback onError, ProgressBinder onProgress) {
    Result<EncodedFrame> frame =
        encodeFrame(makeCallMessage(callID, selector, std::move(arguments)), kMaxCallFrameSize);
    if (!frame) return fail(std::move(onError), frame.error());
    const bool oneWay = !onReply;
    if (!oneWay) {
      std::unique_lock lock(mu_);
      if (closed_) {
        lock.unlock();
        return fail(std::move(onError), closeError_);
      }
      outstanding_.emplace(callID, Pending{std::string(selector), std::move(onReply),
                                           std::move(onError), std::move(onProgress)});
    } else {
      std::unique_lock lock(mu_);
      if (closed_) {
        lock.unlock();
        return fail(std::move(onError), closeError_);
      }
    }
    // When this fails the socket has just closed: onClosed reports a call
    // with a reply as outstanding, and a one-way call is reported here.
    if (!send(std::move(frame).value()) && oneWay) {
      std::unique_lock lock(mu_);
      const Error why = closed_ ? closeError_ : Error{ECONNRESET, "the connection closed"};
      lock.unlock();
      fail(std::move(onError), why);
    }
  }

  std::atomic<std::uint64_t> nextCallID_{1};

 protected:
  void onMessage(std::vector<IpcValue> message) override {
    if (wire::isProgress(message)) return onProgress(std::move(message));
    Result<IpcReplyMessage> reply = parseReply(std::move(message));
    if (!reply) return closeSocket(reply.error());
    std::optional<Pending> pending;
    {
      std::lock_guard lock(mu_);
      if (auto found = outstanding_.find(reply->callID); found != outstanding_.end()) {
        pending = std::move(found->second);
        outstanding_.erase(found);
      }
    }
    if (!pending) {
      return closeSocket(ipcViolation("reply to call ID " + std::to_string(reply->callID) +
                                      ", which is not outstanding"));
    }
    Status fits = interface_->checkReply(pending->selector, reply->values);
    Result<Work> work =
        fits ? pending->onReply(std::move(reply->values)) : Result<Work>(fits.error());
    if (!work) {
      fail(std::move(pending->onError), work.error());
      return closeSocket(work.error());
    }
    if (*work) deliveries_.async(std::move(work).value());
  }

  bool holdReads() override { return undelivered_.load() > kProgressDeliveryBacklog; }

  void onClosed(const Error& why) override {
    std::map<std::uint64_t, Pending> outstanding;
    {
      std::lock_guard lock(mu_);
      closed_ = true;
      closeError_ = why;
      outstanding.swap(outstanding_);
    }
    for (auto& [callID, pending] : outstanding) fail(std::move(pending.onError), why);
  }

 private:
  struct Pending {
    std::string selector;
    ReplyBinder onReply;
    ErrorCallback onError;
    ProgressBinder onProgress;
  };

  // Progress goes through the delivery queue like the replies, so it comes
  // to its handler in order and ahead of its call's reply.
  void onProgress(std::vector<IpcValue> message) {
    Result<wire::IpcProgressMessage> progress = wire::parseProgress(std::move(message));
    if (!progress) return closeSocket(progress.error());
    ProgressBinder binder;
    {
      std::lock_guard lock(mu_);
      if (auto found = outstanding_.find(progress->callID); found != outstanding_.end()) {
        binder = found->second.onProgress;
      }
    }
    if (!binder) {
      return closeSocket(ipcViolation("progress of call ID " + std::to_string(progress->callID) +
                                      ", which takes none"));
    }
    // Each waiting chunk costs its frame, values and work besides its bytes:
    // counted alone, a stream of tiny chunks would queue gigabytes first.
    std::size_t bytes = kProgressEntryCost;
    for (const IpcValue& value : progress->values) bytes += value.bytes().size();
    Result<Work> work = binder(std::move(progress->values));
    if (!work) return closeSocket(work.error());
    if (!*work) return;
    undelivered_ += bytes;
    deliveries_.async([self = std::static_pointer_cast<Impl>(shared_from_this()), bytes,
                       work = std::move(work).value()] {
      work();
      const std::size_t before = self->undelivered_.fetch_sub(bytes);
      if (before > kProgressDeliveryBacklog && before - bytes <= kProgressDeliveryBacklog) {
        self->resumeReading();
      }
    });
  }

  void fail(ErrorCallback onError, const Error& error) {
    if (!onError) return;
    deliveries_.async([onError = std::move(onError), error] { onError(error); });
  }

  const std::shared_ptr<const IpcInterface> interface_;
  std::mutex mu_;
  std::map<std::uint64_t, Pending> outstanding_;
  bool closed_ = false;
  Error closeError_;
  std::atomic<std::size_t> undelivered_{0};
  platform::SerialQueue deliveries_;
};

ClientConnection::ClientConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
ClientConnection::ClientConnection(ClientConnection&&) noexcept = default;
ClientConnection& ClientConnection::operator=(ClientConnection&& other) noexcept {
  if (this != &other) {
    invalidate();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
ClientConnection::~ClientConnection() {
  invalidate();
}

Result<ClientConnection> ClientConnection::adopt(
    UniqueFd socket, std::shared_ptr<const IpcInterface> remoteInterface) {
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return errnoError("cannot set up the connection", errno);
  }
  auto impl = std::make_shared<Impl>(std::move(socket), std::move(remoteInterface));
  if (!impl->isOpen()) return Error{EBADF, "cannot set up the connection's socket"};
  asio::post(ipcContext(), [impl] { impl->startReading(); });
  return ClientConnection(std::move(impl));
}

Result<ClientConnection> ClientConnection::connect(
    std::string_view serviceName, std::shared_ptr<const IpcInterface> remoteInterface,
    const ConnectOptions& options) {
  Result<std::string> path = platform::servicePath(serviceName, options.runtimeDirectory);
  if (!path) return Error{path.error().code, path.error().message, base::ErrorKind::kUnreachable};
  Result<UniqueFd> fd = platform::connectStream(*path);
  if (!fd) return Error{fd.error().code, fd.error().message, base::ErrorKind::kUnreachable};
  // Whoever listens there would get our calls, input and environment.
  Result<uid_t> listener = platform::listenerUser(fd->get());
  if (!listener) return Error{listener.error().code, "cannot tell who serves " + *path};
  if (*listener != ::geteuid()) {
    return Error{kServedByAnotherUser,
                 *path + " is served by user " + std::to_string(*listener) + ", not by us (user " +
                     std::to_string(::geteuid()) + ")",
                 base::ErrorKind::kRefused};
  }
  return adopt(std::move(fd).value(), std::move(remoteInterface));
}

void ClientConnection::call(std::string_view selector, std::vector<IpcValue> arguments,
                            ReplyBinder onReply, ErrorCallback onError, ProgressBinder onProgress) {
  if (!onReply) onReply = [](std::vector<IpcValue>) -> Result<Work> { return Work([] {}); };
  impl_->call(impl_->nextCallID_++, selector, std::move(arguments), std::move(onReply),
              std::move(onError), std::move(onProgress));
}

void ClientConnection::callOneWay(std::string_view selector, std::vector<IpcValue> arguments,
                                  ErrorCallback onError) {
  impl_->call(0, selector, std::move(arguments), nullptr, std::move(onError), nullptr);
}

void ClientConnection::invalidate() {
  if (impl_) impl_->closeFromAnyThread(connectionInvalidated());
}

int ClientConnection::nativeHandle() const {
  return impl_->nativeHandle();
}

}  // namespace zefra::ipc

#include "platform/ipc_connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

#include "platform/ipc_io.h"
#include "platform/peer_process.h"
#include "platform/runtime_dir.h"
#include "platform/unix_address.h"
#include "wire/frame.h"

namespace zefra::platform {

using wire::EncodedFrame;
using wire::encodeFrame;
using wire::IpcCall;
using wire::IpcInterface;
using wire::IpcReplyMessage;
using wire::IpcValue;
using wire::ipcViolation;
using wire::kMaxCallFrameSize;
using wire::kMaxReplyFrameSize;
using wire::makeCallMessage;
using wire::makeProgressMessage;
using wire::makeReplyMessage;
using wire::parseCall;
using wire::parseReply;

namespace {

Error invalidatedError() {
  return Error{ECANCELED, "connection invalidated"};
}

}  // namespace

// ---------------------------------------------------------------- serving side

class ServerConnection::Impl final : public FramedSocket {
 public:
  Impl(UniqueFd fd, pid_t pid)
      : FramedSocket(std::move(fd), kMaxCallFrameSize, Opening::kServing, kServingWriteBacklog),
        pid_(pid),
        calls_("zefra.ipc.calls") {}

  std::shared_ptr<Impl> self() { return std::static_pointer_cast<Impl>(shared_from_this()); }

  void sendReply(std::uint64_t callID, std::vector<IpcValue> values) {
    Result<EncodedFrame> frame = encodeFrame(makeReplyMessage(callID, std::move(values)));
    release(callID);
    if (!frame) {
      // The peer would wait for this reply forever: end the connection.
      closeFromAnyThread(frame.error());
      return;
    }
    send(std::move(frame).value());
  }

  bool sendProgress(std::uint64_t callID, std::vector<IpcValue> values) {
    Result<EncodedFrame> frame = encodeFrame(makeProgressMessage(callID, std::move(values)));
    if (!frame) {
      closeFromAnyThread(frame.error());
      return false;
    }
    return send(std::move(frame).value());
  }

  void release(std::uint64_t callID) {
    std::lock_guard lock(mu_);
    outstanding_.erase(callID);
  }

  const pid_t pid_;
  std::mutex mu_;
  std::shared_ptr<const IpcInterface> interface_;
  std::shared_ptr<IpcExportedObject> object_;
  bool resumed_ = false;
  bool admitted_ = false;
  std::unordered_set<std::uint64_t> outstanding_;
  SerialQueue calls_;

 protected:
  void onMessage(std::vector<IpcValue> message) override;
  void onClosed(const Error&) override {
    std::shared_ptr<const IpcInterface> interface;
    std::shared_ptr<IpcExportedObject> object;
    {
      std::lock_guard lock(mu_);
      interface = std::move(interface_);
      object = std::move(object_);
      outstanding_.clear();
    }
    if (object) object->connectionClosed();
    // The object goes here unless queued work still holds it.
  }
};

struct IpcReply::State {
  State(std::weak_ptr<ServerConnection::Impl> connection, std::uint64_t callID)
      : connection(std::move(connection)), callID(callID) {}
  ~State() {
    // Dropped unanswered: at least free its call ID.
    if (!sent.load()) {
      if (auto live = connection.lock()) live->release(callID);
    }
  }
  std::weak_ptr<ServerConnection::Impl> connection;
  const std::uint64_t callID;
  std::atomic<bool> sent{false};
};

void IpcReply::send(std::vector<IpcValue> values) const {
  if (!state_ || state_->sent.exchange(true)) return;
  if (auto connection = state_->connection.lock()) {
    connection->sendReply(state_->callID, std::move(values));
  }
}

bool IpcReply::sendProgress(std::vector<IpcValue> values) const {
  if (!state_ || state_->sent.load()) return false;
  auto connection = state_->connection.lock();
  return connection && connection->sendProgress(state_->callID, std::move(values));
}

bool IpcReply::writeBacklogOver(std::size_t limit, const std::shared_ptr<Wakeup>& wake) const {
  if (!state_) return false;
  auto connection = state_->connection.lock();
  return connection && connection->writeBacklogOver(limit, wake);
}

void ServerConnection::Impl::onMessage(std::vector<IpcValue> message) {
  std::shared_ptr<const IpcInterface> interface;
  std::shared_ptr<IpcExportedObject> object;
  {
    std::lock_guard lock(mu_);
    interface = interface_;
    object = object_;
  }
  if (!interface || !object) {
    return closeSocket(ipcViolation("call on a connection that exports nothing"));
  }
  Result<IpcCall> call = parseCall(std::move(message), *interface);
  if (!call) return closeSocket(call.error());
  IpcReply reply;
  if (call->hasReply) {
    bool fresh;
    {
      std::lock_guard lock(mu_);
      fresh = outstanding_.insert(call->callID).second;
    }
    if (!fresh) {
      return closeSocket(
          ipcViolation("call ID " + std::to_string(call->callID) + " is already outstanding"));
    }
    reply.state_ = std::make_shared<IpcReply::State>(self(), call->callID);
  }
  const bool quick = object->isQuick(call->selector);
  Result<Work> work = object->bind(call->selector, std::move(call->arguments), std::move(reply));
  if (!work) return closeSocket(work.error());
  if (quick && calls_.runNowIfIdle(work.value())) return;
  calls_.async(std::move(work).value());
}

Result<ServerConnection> ServerConnection::adopt(UniqueFd socket) {
  Result<pid_t> pid = peerPid(socket.get());
  auto impl = std::make_shared<Impl>(std::move(socket), pid ? *pid : 0);
  if (!impl->isOpen()) return Error{EBADF, "cannot serve the connection's socket"};
  return ServerConnection(std::move(impl));
}

pid_t ServerConnection::processIdentifier() const {
  return impl_->pid_;
}

int ServerConnection::nativeHandle() const {
  return impl_->nativeHandle();
}

Status ServerConnection::serveOnly(std::unique_ptr<SenderGate> gate) {
  std::lock_guard lock(impl_->mu_);
  if (impl_->resumed_) return Error{EBUSY, "the connection is already serving"};
  impl_->gateSenders(std::move(gate));
  impl_->admitted_ = true;
  return Ok{};
}

bool ServerConnection::peerAdmitted() const {
  std::lock_guard lock(impl_->mu_);
  return impl_->admitted_;
}

void ServerConnection::setExportedInterface(std::shared_ptr<const IpcInterface> interface) {
  std::lock_guard lock(impl_->mu_);
  if (!impl_->resumed_) impl_->interface_ = std::move(interface);
}

void ServerConnection::setExportedObject(std::shared_ptr<IpcExportedObject> object) {
  std::lock_guard lock(impl_->mu_);
  if (!impl_->resumed_) impl_->object_ = std::move(object);
}

void ServerConnection::resume() {
  {
    std::lock_guard lock(impl_->mu_);
    if (impl_->resumed_) return;
    impl_->resumed_ = true;
  }
  asio::post(ipcContext(), [impl = impl_] { impl->startReading(); });
}

void ServerConnection::invalidate() {
  impl_->closeFromAnyThread(invalidatedError());
}

// ---------------------------------------------------------------- calling side

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
    if (onReply) {
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
    // When this fails the socket has just closed, and onClosed reports the
    // call as outstanding.
    send(std::move(frame).value());
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
    std::size_t bytes = 0;
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
  SerialQueue deliveries_;
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
  Result<std::string> path = servicePath(serviceName, options.runtimeDirectory);
  if (!path) return path.error();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return errnoError("cannot create a socket", errno);
  const sockaddr_un address = unixAddress(*path);
  // A listener whose backlog is full makes connect wait; not for ever.
  timeval patience{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  int result;
  do {
    result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return errnoError("cannot connect to " + *path, errno);
  // Whoever listens there would get our calls, input and environment.
  struct ucred listener {};
  socklen_t length = sizeof listener;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &listener, &length) != 0) {
    return errnoError("cannot tell who serves " + *path, errno);
  }
  if (listener.uid != ::geteuid()) {
    return Error{kServedByAnotherUser, *path + " is served by user " +
                                           std::to_string(listener.uid) + ", not by us (user " +
                                           std::to_string(::geteuid()) + ")"};
  }
  timeval forever{0, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &forever, sizeof forever);
  return adopt(std::move(fd), std::move(remoteInterface));
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
  if (impl_) impl_->closeFromAnyThread(invalidatedError());
}

int ClientConnection::nativeHandle() const {
  return impl_->nativeHandle();
}

}  // namespace zefra::platform

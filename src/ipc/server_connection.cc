#include "ipc/server_connection.h"

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

#include "ipc/framed_socket.h"
#include "platform/process/peer_process.h"
#include "wire/frame.h"

namespace zefra::ipc {

using wire::EncodedFrame;
using wire::encodeFrame;
using wire::IpcCall;
using wire::IpcInterface;
using wire::IpcReplyMessage;
using wire::IpcValue;
using wire::ipcViolation;
using wire::kMaxCallFrameSize;
using wire::makeProgressMessage;
using wire::makeReplyMessage;
using wire::parseCall;

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
  platform::SerialQueue calls_;

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
  const CallPlace place = object->placeOf(call->selector);
  Result<Work> work = object->bind(call->selector, std::move(call->arguments), std::move(reply));
  if (!work) return closeSocket(work.error());
  if (place == CallPlace::kIoThread && calls_.runNowIfIdle(work.value())) return;
  calls_.async(std::move(work).value());
}

Result<ServerConnection> ServerConnection::adopt(UniqueFd socket) {
  Result<pid_t> pid = platform::peerPid(socket.get());
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
  impl_->closeFromAnyThread(connectionInvalidated());
}

}  // namespace zefra::ipc

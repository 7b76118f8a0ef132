#include "ipc/framed_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <utility>

#include "base/eintr.h"
#include "base/random.h"
#include "platform/dispatch/queue.h"

namespace zefra::ipc {

using wire::decodeFrameBody;
using wire::EncodedFrame;
using wire::FrameBody;
using wire::IpcValue;
using wire::ipcViolation;

namespace {

constexpr int kMaxIov = 64;
constexpr std::size_t kNonceSize = 16;
// A nonce message is [2, <16 bytes>]; its body is well under this.
constexpr std::size_t kMaxOpeningSize = 64;

// Writes what the socket takes now, at most kMaxIov chunks; -1 with errno.
ssize_t writeNow(int fd, const EncodedFrame& frame, std::size_t sent) {
  iovec iov[kMaxIov];
  int count = 0;
  for (const iovec& chunk : frame.chunks()) {
    if (sent >= chunk.iov_len) {
      sent -= chunk.iov_len;
      continue;
    }
    iov[count++] = {static_cast<char*>(chunk.iov_base) + sent, chunk.iov_len - sent};
    sent = 0;
    if (count == kMaxIov) break;
  }
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = static_cast<std::size_t>(count);
  return base::retryOnEintr([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

}  // namespace

FramedSocket::FramedSocket(UniqueFd fd, std::uint32_t maxIncoming, Opening opening,
                           std::optional<WriteBacklog> backlog)
    : socket_(ipcContext()),
      fd_(fd.get()),
      reader_(maxIncoming),
      opening_(opening),
      backlog_(backlog) {
  // The calling side's frames wait, as if a write were under way, until the
  // nonce has come.
  writing_ = opening == Opening::kCalling;
  std::error_code error;
  socket_.assign(asio::local::stream_protocol(), fd.get(), error);
  if (error) {
    open_ = false;
    writeClosed_ = true;
    return;  // `fd` closes it
  }
  fd.release();
}

FramedSocket::~FramedSocket() = default;

void FramedSocket::startReading() {
  if (!open_ || reading_) return;
  reading_ = true;
  if (opening_ == Opening::kServing) {
    nonce_ = base::randomBytes(kNonceSize);
    Result<EncodedFrame> frame = wire::encodeFrame(wire::makeNonceMessage(Bytes(nonce_)));
    if (!frame || !send(std::move(frame).value())) return closeSocket(ipcViolation("cannot open"));
  }
  readAvailable();
}

// Reads what the socket holds, then waits for more.
void FramedSocket::readAvailable() {
  constexpr int kReadsPerTurn = 16;  // then let other sockets have the thread
  for (int turn = 0;; ++turn) {
    if (turn == kReadsPerTurn) {
      asio::post(ipcContext(), [self = shared_from_this()] { self->readAvailable(); });
      return;
    }
    if (holdReadsForWrites()) return;
    if (holdReads()) {
      readsHeldBySubclass_ = true;
      return;
    }
    std::span<char> space = reader_.readSpace();
    ReadSender sender;
    ssize_t count;
    if (gate_) {
      count = gate_->receive(fd_, space, sender);
    } else {
      count =
          base::retryOnEintr([&] { return ::recv(fd_, space.data(), space.size(), MSG_DONTWAIT); });
    }
    if (count == 0) {
      return closeSocket(reader_.midFrame() ? ipcViolation("connection closed inside a frame")
                                            : Error{ECONNRESET, "connection closed by the peer"});
    }
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return closeSocket(errnoError("connection failed", errno));
    }
    const bool more = static_cast<std::size_t>(count) == space.size();
    if (gate_) {
      if (sender.passedDescriptors) return closeSocket(ipcViolation("descriptors were passed"));
      if (!gate_->admits(sender)) {
        return closeSocket(ipcViolation("bytes from a process or program not admitted"));
      }
    }
    reader_.commit(static_cast<std::size_t>(count));
    if (!deliverFrames()) return;
    if (!more) break;
  }
  waitReadable();
}

// The wait is armed on this thread right after a short read, and readiness
// is only dispatched on this thread, so none is missed; it saves the read
// that would only say "nothing more" on every message.
void FramedSocket::waitReadable() {
  socket_.async_wait(
      asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& error) {
        if (!self->open_) return;
        if (error) {
          return self->closeSocket(Error{error.value(), "connection failed: " + error.message()});
        }
        self->readAvailable();
      });
}

bool FramedSocket::deliverFrames() {
  for (;;) {
    Result<std::optional<FrameBody>> body = reader_.next();
    if (!body) {
      closeSocket(body.error());
      return false;
    }
    if (!*body) return true;
    // The opening is a few bytes: nothing larger is worth decoding before it.
    if (!opened_ && (*body)->size > kMaxOpeningSize) {
      closeSocket(ipcViolation("the connection did not open with its nonce"));
      return false;
    }
    if ((*body)->size > kDecodeInlineLimit) {
      decodeElsewhere(std::move(**body));
      return false;
    }
    if (!deliverMessage(decodeFrameBody(**body))) return false;
  }
}

bool FramedSocket::deliverMessage(Result<std::vector<IpcValue>> message) {
  if (!message) {
    closeSocket(message.error());
    return false;
  }
  if (!opened_) {
    if (takeOpening(*message)) return true;
    closeSocket(ipcViolation("the connection did not open with its nonce"));
    return false;
  }
  onMessage(std::move(message).value());
  return open_;
}

void FramedSocket::decodeElsewhere(FrameBody body) {
  platform::globalQueue().async([self = shared_from_this(), body = std::move(body)] {
    auto message = std::make_shared<Result<std::vector<IpcValue>>>(decodeFrameBody(body));
    asio::post(ipcContext(), [self, message] {
      if (!self->open_) return;
      if (!self->deliverMessage(std::move(*message)) || !self->deliverFrames()) return;
      self->readAvailable();
    });
  });
}

bool FramedSocket::holdReadsForWrites() {
  if (!backlog_) return false;
  std::lock_guard lock(writeMu_);
  readsHeld_ = pending_.size() > backlog_->frames || pendingBytes_ > backlog_->bytes;
  return readsHeld_;
}

void FramedSocket::resumeReading() {
  asio::post(ipcContext(), [self = shared_from_this()] {
    if (!self->open_ || !std::exchange(self->readsHeldBySubclass_, false)) return;
    self->readAvailable();
  });
}

bool FramedSocket::writeBacklogOver(std::size_t limit, const std::shared_ptr<Wakeup>& wake) {
  std::lock_guard lock(writeMu_);
  if (writeClosed_ || pendingBytes_ <= limit) return false;
  auto same = [&](const std::weak_ptr<Wakeup>& waiter) {
    return !waiter.owner_before(wake) && !wake.owner_before(waiter);
  };
  if (std::none_of(drainWaiters_.begin(), drainWaiters_.end(), same)) {
    drainWaiters_.push_back(wake);
  }
  return true;
}

// With writeMu_ held.
void FramedSocket::notifyDrainWaiters() {
  for (const auto& waiter : drainWaiters_) {
    if (auto wake = waiter.lock()) wake->notify();
  }
  drainWaiters_.clear();
}

bool FramedSocket::takeOpening(const std::vector<IpcValue>& message) {
  std::optional<std::string_view> nonce = wire::nonceOf(message);
  if (!nonce) return false;
  if (opening_ == Opening::kServing) {
    if (*nonce != nonce_) return false;
    opened_ = true;
    return true;
  }
  Result<EncodedFrame> answer =
      wire::encodeFrame(wire::makeNonceMessage(Bytes(std::string(*nonce))));
  if (!answer) return false;
  opened_ = true;
  // The answer goes ahead of every frame held meanwhile, in one write.
  std::lock_guard lock(writeMu_);
  if (writeClosed_) return true;
  pendingBytes_ += answer->size();
  pending_.push_front({std::move(answer).value()});
  startAsyncWrite();
  return true;
}

bool FramedSocket::send(EncodedFrame frame) {
  std::unique_lock lock(writeMu_);
  if (writeClosed_) return false;
  if (writing_) {
    pendingBytes_ += frame.size();
    pending_.push_back({std::move(frame)});
    return true;
  }
  Outgoing out{std::move(frame)};
  while (out.sent < out.frame.size()) {
    const ssize_t written = writeNow(fd_, out.frame, out.sent);
    if (written < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      const int err = errno;
      lock.unlock();
      closeFromAnyThread(errnoError("cannot write to the connection", err));
      return false;
    }
    out.sent += static_cast<std::size_t>(written);
  }
  if (out.sent == out.frame.size()) return true;
  // The socket is full: the IPC thread writes the rest when it drains.
  pendingBytes_ += out.frame.size();
  pending_.push_back(std::move(out));
  writing_ = true;
  lock.unlock();
  asio::post(ipcContext(), [self = shared_from_this()] {
    std::lock_guard guard(self->writeMu_);
    if (!self->writeClosed_) self->startAsyncWrite();
  });
  return true;
}

void FramedSocket::startAsyncWrite() {
  buffers_.clear();
  for (const Outgoing& out : pending_) {
    std::size_t skip = out.sent;
    for (const iovec& chunk : out.frame.chunks()) {
      if (skip >= chunk.iov_len) {
        skip -= chunk.iov_len;
        continue;
      }
      buffers_.emplace_back(static_cast<const char*>(chunk.iov_base) + skip, chunk.iov_len - skip);
      skip = 0;
    }
  }
  inFlight_ = pending_.size();
  asio::async_write(socket_, buffers_,
                    [self = shared_from_this()](const std::error_code& error, std::size_t) {
                      self->onWritten(error);
                    });
}

void FramedSocket::onWritten(const std::error_code& error) {
  std::unique_lock lock(writeMu_);
  if (writeClosed_) return;
  if (error) {
    lock.unlock();
    closeSocket(Error{error.value(), "cannot write to the connection: " + error.message()});
    return;
  }
  for (std::size_t i = 0; i < inFlight_; ++i) pendingBytes_ -= pending_[i].frame.size();
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(inFlight_));
  inFlight_ = 0;
  notifyDrainWaiters();
  if (pending_.empty()) {
    writing_ = false;
  } else {
    startAsyncWrite();
  }
  if (readsHeld_ && pending_.size() <= backlog_->frames && pendingBytes_ <= backlog_->bytes) {
    readsHeld_ = false;
    asio::post(ipcContext(), [self = shared_from_this()] {
      if (self->open_) self->readAvailable();
    });
  }
}

void FramedSocket::closeFromAnyThread(Error why) {
  asio::post(ipcContext(),
             [self = shared_from_this(), why = std::move(why)] { self->closeSocket(why); });
}

void FramedSocket::closeSocket(const Error& given) {
  if (!open_) return;
  open_ = false;
  Error why = given;
  // A serving side that admits us opens at once: closing before that is its
  // refusal, not a lost connection.
  if (opening_ == Opening::kCalling && !opened_ && (why.code == ECONNRESET || why.code == EPIPE)) {
    why.kind = base::ErrorKind::kRefused;
  }
  {
    std::lock_guard lock(writeMu_);
    writeClosed_ = true;
    std::error_code ignored;
    socket_.close(ignored);
    // The socket is closed, so no write still looks at these frames.
    pending_.clear();
    pendingBytes_ = 0;
    inFlight_ = 0;
    notifyDrainWaiters();
  }
  onClosed(why);
}

}  // namespace zefra::ipc

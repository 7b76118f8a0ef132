#pragma once

// Internal to the IPC transport: the framed socket that both connection
// sides are built on.

// Asio picks its handler allocator from the standard library's configuration
// macros, so a library header comes first and every file picks alike.
#include <cstddef>
// Asio only after it.
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "ipc/io_thread.h"
#include "ipc/sender_gate.h"
#include "platform/dispatch/wakeup.h"
#include "wire/frame.h"
#include "wire/message.h"

namespace zefra::ipc {

using platform::Wakeup;

// Bodies up to this size are decoded on the I/O thread; larger ones on the
// pool, while this socket reads nothing more, so one large frame delays no
// other connection and messages keep their order.
inline constexpr std::size_t kDecodeInlineLimit = 4096;

// How much may wait to be written to a peer before its socket is read no
// further: a serving side stops taking calls from a client that does not
// read its replies, and reads again once they have gone out.
struct WriteBacklog {
  std::size_t frames = 0;
  std::size_t bytes = 0;
};
inline constexpr WriteBacklog kServingWriteBacklog{1024, std::size_t{64} << 20};

// How a connection opens. The serving side sends a fresh nonce ([2, nonce])
// as soon as it starts reading, and the first frame it takes must bring that
// nonce back: whatever was written before the peer was admitted cannot hold
// it. The calling side holds its frames until the nonce has come and sends
// it back ahead of them.
enum class Opening { kServing, kCalling };

// Why a connection closed that its owner invalidated.
inline Error connectionInvalidated() {
  return Error{ECANCELED, "connection invalidated"};
}

// A connected stream socket that reads and writes frames.
class FramedSocket : public std::enable_shared_from_this<FramedSocket> {
 public:
  // `fd` must be non-blocking and close-on-exec. Without `backlog`, reading
  // never waits for writing.
  FramedSocket(UniqueFd fd, std::uint32_t maxIncoming, Opening opening,
               std::optional<WriteBacklog> backlog = std::nullopt);
  virtual ~FramedSocket();
  FramedSocket(const FramedSocket&) = delete;
  FramedSocket& operator=(const FramedSocket&) = delete;

  int nativeHandle() const { return fd_; }

  // Any thread. Writes at once from the calling thread when nothing else is
  // being written; the rest goes out from the IPC thread. False when the
  // socket is closed (the frame is dropped).
  bool send(wire::EncodedFrame frame);

  // Before startReading(): every read must come from the sender the gate
  // admits; any other read closes the socket before its bytes are decoded.
  void gateSenders(std::unique_ptr<SenderGate> gate) { gate_ = std::move(gate); }

  // IPC thread only. The serving side sends its nonce first.
  void startReading();
  // Closes the socket and reports `why` to onClosed, the first time only.
  void closeSocket(const Error& given);
  bool isOpen() const { return open_; }

  // Any thread.
  void closeFromAnyThread(Error why);

  // Any thread. Whether more than `limit` bytes wait to be written; when so,
  // `wake` is notified once a write has gone out or the socket has closed.
  // False once the socket is closed.
  bool writeBacklogOver(std::size_t limit, const std::shared_ptr<Wakeup>& wake);

 protected:
  // IPC thread. True while the subclass wants nothing more read: what it
  // has taken in still waits to be handled. resumeReading() once it may.
  virtual bool holdReads() { return false; }
  // Any thread. Reads again if holdReads() had stopped reading.
  void resumeReading();

  // IPC thread. Each decoded message, in order; may call closeSocket().
  virtual void onMessage(std::vector<wire::IpcValue> message) = 0;
  // IPC thread, once.
  virtual void onClosed(const Error& why) = 0;

 private:
  struct Outgoing {
    wire::EncodedFrame frame;
    std::size_t sent = 0;
  };

  void readAvailable();
  void waitReadable();
  // False when reading stops here: the socket closed meanwhile, or a body
  // is being decoded off the I/O thread (reading resumes after it).
  bool deliverFrames();
  bool deliverMessage(Result<std::vector<wire::IpcValue>> message);
  void decodeElsewhere(wire::FrameBody body);
  // Whether replies waiting to be written hold back reading; IPC thread.
  bool holdReadsForWrites();
  // The first message: the nonce coming back, or (calling side) coming in.
  // False when it is not.
  bool takeOpening(const std::vector<wire::IpcValue>& message);
  // With writeMu_ held.
  void startAsyncWrite();
  void notifyDrainWaiters();
  void onWritten(const std::error_code& error);

  asio::local::stream_protocol::socket socket_;
  const int fd_;
  wire::FrameReader reader_;
  bool open_ = true;
  bool reading_ = false;
  std::unique_ptr<SenderGate> gate_;
  const Opening opening_;
  bool opened_ = false;  // the nonce has been taken
  std::string nonce_;    // serving side
  const std::optional<WriteBacklog> backlog_;
  bool readsHeld_ = false;            // IPC thread
  bool readsHeldBySubclass_ = false;  // IPC thread

  std::mutex writeMu_;
  std::deque<Outgoing> pending_;
  std::size_t pendingBytes_ = 0;
  std::size_t inFlight_ = 0;
  std::vector<asio::const_buffer> buffers_;
  bool writing_ = false;
  bool writeClosed_ = false;
  std::vector<std::weak_ptr<Wakeup>> drainWaiters_;  // writeMu_
};

}  // namespace zefra::ipc

#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/wakeup.h"
#include "wire/message.h"

namespace zefra::ipc {

using platform::Wakeup;
using platform::Work;

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

// Where an admitted call runs. A call bound for the I/O thread still waits
// its turn when one of the connection's calls is pending, so calls keep the
// order they were sent in.
enum class CallPlace {
  // For a method that returns at once and never blocks: it saves a thread
  // hand-off. Long work it hands on itself.
  kIoThread,
  // On the connection's serial queue, after its earlier calls.
  kInOrder,
};

// The object a serving connection hands its calls to.
// A call that streams its progress reads no more of what it streams while
// more than this waits to be written to its peer (the helper then stops
// reading a tool's output, and the tool blocks). What waits is bounded by
// this plus one chunk per streaming call.
inline constexpr std::size_t kProgressWriteBacklog = std::size_t{4} << 20;

class IpcExportedObject {
 public:
  virtual ~IpcExportedObject() = default;
  // Turns a call whose arguments the interface has admitted into the work that
  // enters the method. An error (an operation the object does not offer,
  // values of the wrong shape) is a protocol violation: the connection closes
  // and no method is entered. Runs on the I/O thread and must not block.
  virtual Result<Work> bind(std::string_view selector, std::vector<wire::IpcValue> arguments,
                            IpcReply reply) = 0;
  virtual CallPlace placeOf(std::string_view /*selector*/) const { return CallPlace::kInOrder; }
  // The connection has closed: no reply can reach the peer any more. Runs on
  // the I/O thread, once, and must not block.
  virtual void connectionClosed() {}
};

}  // namespace zefra::ipc

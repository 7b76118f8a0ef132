#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "wire/codec.h"

namespace zefra::wire {

// What one side of a connection admits: the operations it knows, and the
// values each of their arguments and reply positions may hold.
class IpcInterface {
 public:
  virtual ~IpcInterface() = default;
  // Ok(true) for an operation with a reply, Ok(false) for a one-way one;
  // an error for an unknown selector or arguments that do not fit.
  virtual Result<bool> checkCall(std::string_view selector,
                                 const std::vector<IpcValue>& arguments) const = 0;
  virtual Status checkReply(std::string_view selector,
                            const std::vector<IpcValue>& values) const = 0;
};

// A call is [0, callID, selector, argument...]; callID 0 marks a one-way
// call. A reply is [1, callID, value...].
struct IpcCall {
  std::uint64_t callID = 0;
  std::string selector;
  std::vector<IpcValue> arguments;
  bool hasReply = false;
};

struct IpcReplyMessage {
  std::uint64_t callID = 0;
  std::vector<IpcValue> values;
};

// Progress of a call that is still running: [3, callID, value...], sent by
// the serving side only to calls that asked for it, and only before the
// call's reply.
struct IpcProgressMessage {
  std::uint64_t callID = 0;
  std::vector<IpcValue> values;
};

// A connection opens with a nonce: [2, nonce], the serving side's fresh
// random bytes, which the calling side sends back unchanged as its first
// frame.
std::vector<IpcValue> makeNonceMessage(Bytes nonce);
// The nonce of an opening message; nothing for any other message.
std::optional<std::string_view> nonceOf(const std::vector<IpcValue>& message);

std::vector<IpcValue> makeCallMessage(std::uint64_t callID, std::string_view selector,
                                      std::vector<IpcValue> arguments);
std::vector<IpcValue> makeReplyMessage(std::uint64_t callID, std::vector<IpcValue> values);
std::vector<IpcValue> makeProgressMessage(std::uint64_t callID, std::vector<IpcValue> values);

// Reads a call and checks it against `interface`: a known selector, arguments
// that fit, and a callID that is 0 exactly when the operation has no reply.
Result<IpcCall> parseCall(std::vector<IpcValue> message, const IpcInterface& interface);
// Reads the envelope of a reply; its values are checked by the caller, who
// knows which call it answers.
Result<IpcReplyMessage> parseReply(std::vector<IpcValue> message);
// Whether a message is progress rather than a reply.
bool isProgress(const std::vector<IpcValue>& message);
Result<IpcProgressMessage> parseProgress(std::vector<IpcValue> message);

}  // namespace zefra::wire

#include "wire/message.h"

#include <iterator>
#include <utility>

namespace zefra::wire {

namespace {

constexpr std::int64_t kCallTag = 0;
constexpr std::int64_t kReplyTag = 1;
constexpr std::int64_t kNonceTag = 2;
constexpr std::int64_t kProgressTag = 3;

bool hasTag(const std::vector<IpcValue>& message, std::int64_t tag) {
  return !message.empty() && message[0].kind() == IpcValue::Kind::kInt && message[0].asInt() == tag;
}

Result<std::uint64_t> callIDOf(const std::vector<IpcValue>& message) {
  if (message.size() < 2 || message[1].kind() != IpcValue::Kind::kInt || message[1].asInt() < 0) {
    return ipcViolation("missing or negative call ID");
  }
  return static_cast<std::uint64_t>(message[1].asInt());
}

}  // namespace

std::vector<IpcValue> makeNonceMessage(Bytes nonce) {
  std::vector<IpcValue> message;
  message.push_back(IpcValue::integer(kNonceTag));
  message.push_back(IpcValue::data(std::move(nonce)));
  return message;
}

std::optional<std::string_view> nonceOf(const std::vector<IpcValue>& message) {
  if (message.size() != 2 || !hasTag(message, kNonceTag) ||
      message[1].kind() != IpcValue::Kind::kData || message[1].bytes().size() == 0) {
    return std::nullopt;
  }
  return message[1].bytes().view();
}

std::vector<IpcValue> makeCallMessage(std::uint64_t callID, std::string_view selector,
                                      std::vector<IpcValue> arguments) {
  std::vector<IpcValue> message;
  message.reserve(arguments.size() + 3);
  message.push_back(IpcValue::integer(kCallTag));
  message.push_back(IpcValue::integer(static_cast<std::int64_t>(callID)));
  message.push_back(IpcValue::string(std::string(selector)));
  std::move(arguments.begin(), arguments.end(), std::back_inserter(message));
  return message;
}

std::vector<IpcValue> makeReplyMessage(std::uint64_t callID, std::vector<IpcValue> values) {
  std::vector<IpcValue> message;
  message.reserve(values.size() + 2);
  message.push_back(IpcValue::integer(kReplyTag));
  message.push_back(IpcValue::integer(static_cast<std::int64_t>(callID)));
  std::move(values.begin(), values.end(), std::back_inserter(message));
  return message;
}

std::vector<IpcValue> makeProgressMessage(std::uint64_t callID, std::vector<IpcValue> values) {
  std::vector<IpcValue> message = makeReplyMessage(callID, std::move(values));
  message[0] = IpcValue::integer(kProgressTag);
  return message;
}

Result<IpcCall> parseCall(std::vector<IpcValue> message, const IpcInterface& interface) {
  if (!hasTag(message, kCallTag)) return ipcViolation("not a call");
  Result<std::uint64_t> callID = callIDOf(message);
  if (!callID) return callID.error();
  if (message.size() < 3 || message[2].kind() != IpcValue::Kind::kString) {
    return ipcViolation("call without a selector");
  }
  IpcCall call;
  call.callID = *callID;
  call.selector = std::string(message[2].asString());
  call.arguments.assign(std::make_move_iterator(message.begin() + 3),
                        std::make_move_iterator(message.end()));
  Result<bool> hasReply = interface.checkCall(call.selector, call.arguments);
  if (!hasReply) return hasReply.error();
  call.hasReply = *hasReply;
  if (call.hasReply && call.callID == 0) {
    return ipcViolation("one-way call of " + call.selector + ", which has a reply");
  }
  if (!call.hasReply && call.callID != 0) {
    return ipcViolation("call ID on " + call.selector + ", which has no reply");
  }
  return call;
}

Result<IpcReplyMessage> parseReply(std::vector<IpcValue> message) {
  if (!hasTag(message, kReplyTag)) return ipcViolation("not a reply");
  Result<std::uint64_t> callID = callIDOf(message);
  if (!callID) return callID.error();
  if (*callID == 0) return ipcViolation("reply without a call ID");
  IpcReplyMessage reply;
  reply.callID = *callID;
  reply.values.assign(std::make_move_iterator(message.begin() + 2),
                      std::make_move_iterator(message.end()));
  return reply;
}

bool isProgress(const std::vector<IpcValue>& message) {
  return hasTag(message, kProgressTag);
}

Result<IpcProgressMessage> parseProgress(std::vector<IpcValue> message) {
  if (!isProgress(message)) return ipcViolation("not progress");
  Result<std::uint64_t> callID = callIDOf(message);
  if (!callID) return callID.error();
  IpcProgressMessage progress;
  progress.callID = *callID;
  progress.values.assign(std::make_move_iterator(message.begin() + 2),
                         std::make_move_iterator(message.end()));
  return progress;
}

}  // namespace zefra::wire

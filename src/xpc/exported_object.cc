#include "xpc/exported_object.h"

#include <array>
#include <utility>

#include "xpc/operations.h"

namespace zefra::xpc {

using base::Result;
using ipc::IpcReply;
using platform::Work;
using wire::ipcViolation;

namespace {

// Replies come from the helper's own values; text that is not UTF-8 (a path,
// a tool's version line) is repaired rather than lost with the connection.
constexpr BadText kReplyText = BadText::kRepair;

template <class... R>
auto replySender(Values<R...>, IpcReply reply) {
  return [reply = std::move(reply)](R... values) {
    reply.send(writeValues(Values<R...>{}, kReplyText, std::move(values)...));
  };
}

// A streaming call's chunks go out as progress of the call, from the thread
// that will reply; reading stops while the connection has too much to write.
RunOutput outputOf(const IpcReply& reply) {
  RunOutput output;
  output.deliver = [reply](int stream, Bytes chunk) {
    reply.sendProgress(writeRunChunk(stream, std::move(chunk)));
  };
  output.congested = [reply](const std::shared_ptr<platform::Wakeup>& wake) {
    return reply.writeBacklogOver(ipc::kProgressWriteBacklog, wake);
  };
  return output;
}

// The interface has checked the count and classes of the arguments; their
// shape (a list holding a list) is checked here, before the method is entered.
template <class Op>
Result<Work> bindOperation(std::shared_ptr<ZefraHelperProtocol> object,
                           const std::vector<wire::IpcValue>& arguments, IpcReply reply) {
  auto read = readValues(typename Op::Arguments{}, arguments);
  if (!read) {
    return ipcViolation(std::string("arguments of ") + Op::name +
                        " do not have the declared types");
  }
  return Work([object = std::move(object), reply = std::move(reply),
               values = std::move(read).value()]() mutable {
    std::apply(
        [&](auto&... value) {
          if constexpr (kOneWay<Op>) {
            ((*object).*Op::method)(std::move(value)...);
          } else if constexpr (kHasOutput<Op>) {
            RunOutput output = outputOf(reply);  // before the reply is moved away
            ((*object).*Op::method)(std::move(value)..., std::move(output),
                                    replySender(typename Op::Reply{}, std::move(reply)));
          } else {
            ((*object).*Op::method)(std::move(value)...,
                                    replySender(typename Op::Reply{}, std::move(reply)));
          }
        },
        values);
  });
}

using Binder = Result<Work> (*)(std::shared_ptr<ZefraHelperProtocol>,
                                const std::vector<wire::IpcValue>&, IpcReply);

template <class... Op>
constexpr std::array<Binder, sizeof...(Op)> bindersOf(std::tuple<Op...>) {
  return {&bindOperation<Op>...};
}
constexpr auto kBinders = bindersOf(Operations{});

template <class... Op>
constexpr std::array<ipc::CallPlace, sizeof...(Op)> placesOf(std::tuple<Op...>) {
  return {Op::place...};
}
constexpr auto kPlaces = placesOf(Operations{});

}  // namespace

ExportedObject::ExportedObject(std::shared_ptr<ZefraHelperProtocol> object)
    : object_(std::move(object)) {}

Result<Work> ExportedObject::bind(std::string_view selector, std::vector<wire::IpcValue> arguments,
                                  IpcReply reply) {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known || !object_ || !object_->offers(*known)) {
    return ipcViolation(std::string(selector) + " is not offered");
  }
  return kBinders[static_cast<std::size_t>(*known)](object_, arguments, std::move(reply));
}

std::shared_ptr<ipc::IpcExportedObject> makeExportedObject(
    std::shared_ptr<ZefraHelperProtocol> object) {
  return std::make_shared<ExportedObject>(std::move(object));
}

ipc::CallPlace ExportedObject::placeOf(std::string_view selector) const {
  std::optional<Selector> known = selectorFromName(selector);
  return known ? kPlaces[static_cast<std::size_t>(*known)] : ipc::CallPlace::kInOrder;
}

void ExportedObject::connectionClosed() {
  if (object_) object_->connectionInvalidated();
}

}  // namespace zefra::xpc

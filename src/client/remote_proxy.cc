#include "client/remote_proxy.h"

#include "ipc/reply_slot.h"
#include "xpc/interface.h"
#include "xpc/operations.h"

namespace zefra::client {

using base::Error;
using base::Result;
using ipc::ClientConnection;
using platform::Work;
using wire::IpcValue;
using ReplyBinder = ClientConnection::ReplyBinder;

namespace {

// The waiting forms take their values on the I/O thread: setting a slot
// does not block, and it spares the reply a trip through the delivery queue.
Result<Work> deliver(bool now, Work work) {
  if (!now) return work;
  work();
  return Work();
}

// Reads a reply the interface has admitted, checks its shape and hands its
// values to `reply`.
template <class Op, class Reply>
ReplyBinder replyBinder(Reply reply, bool now) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    auto read = xpc::readValues(typename Op::Reply{}, values);
    if (!read) return read.error();
    return deliver(now, [reply, values = std::move(read).value()]() mutable {
      std::apply(reply, std::move(values));
    });
  };
}

// A streaming run's chunks, each checked and handed to `output` on the
// delivery queue; none are taken from a run that does not stream.
ClientConnection::ProgressBinder chunkBinder(const xpc::RunOptions& options,
                                             xpc::RunOutput output) {
  if (!options.stream) return nullptr;
  return [deliver = std::move(output.deliver)](std::vector<IpcValue> values) -> Result<Work> {
    auto chunk = xpc::readRunChunk(values);
    if (!chunk) return chunk.error();
    if (!deliver) return Work();
    return Work(
        [deliver, chunk = std::move(chunk).value()] { deliver(chunk.first, chunk.second); });
  };
}

template <class Op, class... A>
std::vector<IpcValue> argumentsOf(A&&... arguments) {
  return xpc::writeValues(typename Op::Arguments{}, xpc::BadText::kKeep,
                          std::forward<A>(arguments)...);
}

template <class Op, class Reply, class... A>
void send(ClientConnection& connection, Reply reply, const ClientConnection::ErrorCallback& onError,
          A&&... arguments) {
  connection.call(Op::name, argumentsOf<Op>(std::forward<A>(arguments)...),
                  replyBinder<Op>(std::move(reply), false), onError);
}

template <class Tuple>
struct Slotted;
template <class... R>
struct Slotted<std::tuple<R...>> {
  using Slot = ipc::ReplySlot<Result<std::tuple<R...>>>;
  static auto deliverTo(std::shared_ptr<Slot> slot) {
    return [slot](R... values) { slot->set(std::tuple<R...>(std::move(values)...)); };
  }
};

// The reply values of one call, or the connection's error.
template <class Op, class... A>
Result<typename Op::Reply::Tuple> sendAndWait(ClientConnection& connection, A&&... arguments) {
  using Reply = Slotted<typename Op::Reply::Tuple>;
  auto slot = std::make_shared<typename Reply::Slot>();
  connection.call(Op::name, argumentsOf<Op>(std::forward<A>(arguments)...),
                  replyBinder<Op>(Reply::deliverTo(slot), true),
                  [slot](const Error& error) { slot->set(error); });
  return slot->take();
}

}  // namespace

Result<std::shared_ptr<RemoteProxy>> RemoteProxy::connect(std::string_view serviceName,
                                                          ErrorHandler errorHandler,
                                                          const ipc::ConnectOptions& options) {
  Result<ClientConnection> connection =
      ClientConnection::connect(serviceName, xpc::makeHelperInterface(), options);
  if (!connection) return connection.error();
  return std::make_shared<RemoteProxy>(std::move(connection).value(), std::move(errorHandler));
}

Result<std::shared_ptr<RemoteProxy>> RemoteProxy::adopt(base::UniqueFd socket,
                                                        ErrorHandler errorHandler) {
  Result<ClientConnection> connection =
      ClientConnection::adopt(std::move(socket), xpc::makeHelperInterface());
  if (!connection) return connection.error();
  return std::make_shared<RemoteProxy>(std::move(connection).value(), std::move(errorHandler));
}

RemoteProxy::RemoteProxy(ClientConnection connection, ErrorHandler errorHandler)
    : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

RemoteProxy::~RemoteProxy() = default;

void RemoteProxy::invalidate() {
  connection_.invalidate();
}

void RemoteProxy::pingWithReply(xpc::PingReply reply) {
  send<xpc::PingOperation>(connection_, std::move(reply), errorHandler_);
}

void RemoteProxy::toolInventoryWithReply(xpc::InventoryReply reply) {
  send<xpc::ToolInventoryOperation>(connection_, std::move(reply), errorHandler_);
}

void RemoteProxy::runWithRunID(std::string runID, std::string tool,
                               std::vector<std::string> arguments, std::optional<Bytes> input,
                               std::optional<std::string> workingDirectory,
                               xpc::Environment environment, xpc::RunReply reply) {
  send<xpc::RunOperation>(connection_, std::move(reply), errorHandler_, std::move(runID),
                          std::move(tool), std::move(arguments), std::move(input),
                          std::move(workingDirectory), std::move(environment));
}

void RemoteProxy::runWithOptions(std::string runID, std::string tool,
                                 std::vector<std::string> arguments, std::optional<Bytes> input,
                                 std::optional<std::string> workingDirectory,
                                 xpc::Environment environment, xpc::RunOptions options,
                                 xpc::RunOutput output, xpc::RunOutcomeReply reply) {
  using Op = xpc::RunWithOptionsOperation;
  auto progress = chunkBinder(options, std::move(output));
  connection_.call(
      Op::name,
      argumentsOf<Op>(std::move(runID), std::move(tool), std::move(arguments), std::move(input),
                      std::move(workingDirectory), std::move(environment), std::move(options)),
      replyBinder<Op>(std::move(reply), false), errorHandler_, std::move(progress));
}

void RemoteProxy::cancelWithRunID(std::string runID) {
  connection_.callOneWay(xpc::CancelOperation::name,
                         argumentsOf<xpc::CancelOperation>(std::move(runID)), errorHandler_);
}

void RemoteProxy::prepareForUpdateWithReply(xpc::PrepareReply reply) {
  send<xpc::PrepareForUpdateOperation>(connection_, std::move(reply), errorHandler_);
}

void RemoteProxy::installUpdateFromZipAt(std::string path, xpc::InstallReply reply) {
  send<xpc::InstallUpdateOperation>(connection_, std::move(reply), errorHandler_, std::move(path));
}

Result<std::string> RemoteProxy::ping() {
  auto reply = sendAndWait<xpc::PingOperation>(connection_);
  if (!reply) return reply.error();
  return std::get<0>(std::move(*reply));
}

Result<xpc::Inventory> RemoteProxy::toolInventory() {
  auto reply = sendAndWait<xpc::ToolInventoryOperation>(connection_);
  if (!reply) return reply.error();
  return std::get<0>(std::move(*reply));
}

Result<RemoteProxy::RunResult> RemoteProxy::run(std::string runID, std::string tool,
                                                std::vector<std::string> arguments,
                                                std::optional<Bytes> input,
                                                std::optional<std::string> workingDirectory,
                                                xpc::Environment environment) {
  auto reply = sendAndWait<xpc::RunOperation>(connection_, std::move(runID), std::move(tool),
                                              std::move(arguments), std::move(input),
                                              std::move(workingDirectory), std::move(environment));
  if (!reply) return reply.error();
  auto& [standardOutput, standardError, status] = *reply;
  return RunResult{std::move(standardOutput), std::move(standardError), status};
}

Result<xpc::RunOutcome> RemoteProxy::run(std::string runID, std::string tool,
                                         std::vector<std::string> arguments,
                                         std::optional<Bytes> input,
                                         std::optional<std::string> workingDirectory,
                                         xpc::Environment environment, xpc::RunOptions options,
                                         xpc::RunOutput output) {
  using Op = xpc::RunWithOptionsOperation;
  auto slot = std::make_shared<ipc::ReplySlot<Result<xpc::RunOutcome>>>();
  auto progress = chunkBinder(options, std::move(output));
  // Through the delivery queue, behind the chunks it follows.
  connection_.call(
      Op::name,
      argumentsOf<Op>(std::move(runID), std::move(tool), std::move(arguments), std::move(input),
                      std::move(workingDirectory), std::move(environment), std::move(options)),
      replyBinder<Op>([slot](xpc::RunOutcome outcome) { slot->set(std::move(outcome)); }, false),
      [slot](const Error& error) { slot->set(error); }, std::move(progress));
  return slot->take();
}

Result<bool> RemoteProxy::prepareForUpdate() {
  auto reply = sendAndWait<xpc::PrepareForUpdateOperation>(connection_);
  if (!reply) return reply.error();
  return std::get<0>(*reply);
}

Result<std::pair<bool, std::string>> RemoteProxy::installUpdate(std::string path) {
  auto reply = sendAndWait<xpc::InstallUpdateOperation>(connection_, std::move(path));
  if (!reply) return reply.error();
  auto& [ok, message] = *reply;
  return std::pair<bool, std::string>(ok, std::move(message));
}

}  // namespace zefra::client

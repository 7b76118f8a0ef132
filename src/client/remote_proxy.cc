#include "client/remote_proxy.h"

#include <future>

#include "xpc/interface.h"
#include "xpc/wire_types.h"

namespace zefra::client {

using platform::ClientConnection;
using platform::Error;
using platform::IpcValue;
using platform::Result;
using platform::Work;
using ReplyBinder = ClientConnection::ReplyBinder;

namespace {

const char* nameOf(xpc::Selector selector) {
  return xpc::selectorName(selector);
}

// The waiting forms take their values on the I/O thread: setting a promise
// does not block, and it spares the reply a trip through the delivery queue.
Result<Work> deliver(bool now, Work work) {
  if (!now) return work;
  work();
  return Work();
}

// Each binder reads a reply the interface has admitted and checks its shape.
ReplyBinder pingBinder(xpc::PingReply reply, bool now = false) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    Result<std::string> version = xpc::wire::readString(values.at(0));
    if (!version) return version.error();
    return deliver(now, [reply, version = std::move(version).value()] { reply(version); });
  };
}

ReplyBinder inventoryBinder(xpc::InventoryReply reply, bool now = false) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    Result<xpc::Inventory> inventory = xpc::wire::readInventory(values.at(0));
    if (!inventory) return inventory.error();
    return deliver(now, [reply, inventory = std::move(inventory).value()] { reply(inventory); });
  };
}

ReplyBinder runBinder(xpc::RunReply reply, bool now = false) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    Result<Bytes> standardOutput = xpc::wire::readData(values.at(0));
    Result<Bytes> standardError = xpc::wire::readData(values.at(1));
    if (!standardOutput) return standardOutput.error();
    if (!standardError) return standardError.error();
    const auto status = static_cast<std::int32_t>(values.at(2).asInt());
    return deliver(now,
                   [reply, out = std::move(standardOutput).value(),
                    err = std::move(standardError).value(), status] { reply(out, err, status); });
  };
}

ReplyBinder prepareBinder(xpc::PrepareReply reply, bool now = false) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    return deliver(now, [reply, ok = values.at(0).asBool()] { reply(ok); });
  };
}

ReplyBinder installBinder(xpc::InstallReply reply, bool now = false) {
  return [reply = std::move(reply), now](std::vector<IpcValue> values) -> Result<Work> {
    Result<std::string> message = xpc::wire::readString(values.at(1));
    if (!message) return message.error();
    return deliver(now, [reply, ok = values.at(0).asBool(), message = std::move(message).value()] {
      reply(ok, message);
    });
  };
}

std::vector<IpcValue> runArguments(std::string runID, std::string tool,
                                   const std::vector<std::string>& arguments,
                                   std::optional<Bytes> input,
                                   std::optional<std::string> workingDirectory,
                                   const xpc::Environment& environment) {
  std::vector<IpcValue> values;
  values.push_back(IpcValue::string(std::move(runID)));
  values.push_back(IpcValue::string(std::move(tool)));
  values.push_back(xpc::wire::writeStringList(arguments));
  values.push_back(input ? IpcValue::data(std::move(*input)) : IpcValue());
  values.push_back(workingDirectory ? IpcValue::string(std::move(*workingDirectory)) : IpcValue());
  values.push_back(xpc::wire::writeStringMap(environment));
  return values;
}

// The reply or the error of one waiting call.
template <class T>
class Waiter {
 public:
  Waiter() : promise_(std::make_shared<std::promise<Result<T>>>()) {}
  template <class... Args>
  auto deliver() const {
    return [promise = promise_](Args... args) { promise->set_value(T(std::move(args)...)); };
  }
  ClientConnection::ErrorCallback fail() const {
    return [promise = promise_](const Error& error) { promise->set_value(error); };
  }
  Result<T> wait() const { return promise_->get_future().get(); }

 private:
  std::shared_ptr<std::promise<Result<T>>> promise_;
};

}  // namespace

Result<std::shared_ptr<RemoteProxy>> RemoteProxy::connect(std::string_view serviceName,
                                                          ErrorHandler errorHandler,
                                                          const platform::ConnectOptions& options) {
  Result<ClientConnection> connection =
      ClientConnection::connect(serviceName, xpc::makeHelperInterface(), options);
  if (!connection) return connection.error();
  return std::make_shared<RemoteProxy>(std::move(connection).value(), std::move(errorHandler));
}

Result<std::shared_ptr<RemoteProxy>> RemoteProxy::adopt(platform::UniqueFd socket,
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
  connection_.call(nameOf(xpc::Selector::kPing), {}, pingBinder(std::move(reply)), errorHandler_);
}

void RemoteProxy::toolInventoryWithReply(xpc::InventoryReply reply) {
  connection_.call(nameOf(xpc::Selector::kToolInventory), {}, inventoryBinder(std::move(reply)),
                   errorHandler_);
}

void RemoteProxy::runWithRunID(std::string runID, std::string tool,
                               std::vector<std::string> arguments, std::optional<Bytes> input,
                               std::optional<std::string> workingDirectory,
                               xpc::Environment environment, xpc::RunReply reply) {
  connection_.call(nameOf(xpc::Selector::kRun),
                   runArguments(std::move(runID), std::move(tool), arguments, std::move(input),
                                std::move(workingDirectory), environment),
                   runBinder(std::move(reply)), errorHandler_);
}

void RemoteProxy::cancelWithRunID(std::string runID) {
  connection_.callOneWay(nameOf(xpc::Selector::kCancel), {IpcValue::string(std::move(runID))},
                         errorHandler_);
}

void RemoteProxy::prepareForUpdateWithReply(xpc::PrepareReply reply) {
  connection_.call(nameOf(xpc::Selector::kPrepareForUpdate), {}, prepareBinder(std::move(reply)),
                   errorHandler_);
}

void RemoteProxy::installUpdateFromZipAt(std::string path, xpc::InstallReply reply) {
  connection_.call(nameOf(xpc::Selector::kInstallUpdate), {IpcValue::string(std::move(path))},
                   installBinder(std::move(reply)), errorHandler_);
}

Result<std::string> RemoteProxy::ping() {
  Waiter<std::string> waiter;
  connection_.call(nameOf(xpc::Selector::kPing), {},
                   pingBinder(waiter.deliver<std::string>(), true), waiter.fail());
  return waiter.wait();
}

Result<xpc::Inventory> RemoteProxy::toolInventory() {
  Waiter<xpc::Inventory> waiter;
  connection_.call(nameOf(xpc::Selector::kToolInventory), {},
                   inventoryBinder(waiter.deliver<xpc::Inventory>(), true), waiter.fail());
  return waiter.wait();
}

Result<RemoteProxy::RunResult> RemoteProxy::run(std::string runID, std::string tool,
                                                std::vector<std::string> arguments,
                                                std::optional<Bytes> input,
                                                std::optional<std::string> workingDirectory,
                                                xpc::Environment environment) {
  Waiter<RunResult> waiter;
  connection_.call(nameOf(xpc::Selector::kRun),
                   runArguments(std::move(runID), std::move(tool), arguments, std::move(input),
                                std::move(workingDirectory), environment),
                   runBinder(waiter.deliver<Bytes, Bytes, std::int32_t>(), true), waiter.fail());
  return waiter.wait();
}

Result<bool> RemoteProxy::prepareForUpdate() {
  Waiter<bool> waiter;
  connection_.call(nameOf(xpc::Selector::kPrepareForUpdate), {},
                   prepareBinder(waiter.deliver<bool>(), true), waiter.fail());
  return waiter.wait();
}

Result<std::pair<bool, std::string>> RemoteProxy::installUpdate(std::string path) {
  Waiter<std::pair<bool, std::string>> waiter;
  connection_.call(nameOf(xpc::Selector::kInstallUpdate), {IpcValue::string(std::move(path))},
                   installBinder(waiter.deliver<bool, std::string>(), true), waiter.fail());
  return waiter.wait();
}

}  // namespace zefra::client

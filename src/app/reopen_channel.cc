#include "app/reopen_channel.h"

#include <future>

#include "app/helper_delegate.h"
#include "platform/dispatch/main_queue.h"

namespace zefra::app {

namespace {

constexpr std::string_view kReopenSelector = "reopen";

// One operation, no arguments, an empty reply that confirms delivery.
class ControlInterface final : public wire::IpcInterface {
 public:
  base::Result<bool> checkCall(std::string_view selector,
                               const std::vector<wire::IpcValue>& arguments) const override {
    if (selector != kReopenSelector || !arguments.empty()) {
      return base::Error{EPROTO, "unknown control call"};
    }
    return true;
  }
  base::Status checkReply(std::string_view selector,
                          const std::vector<wire::IpcValue>& values) const override {
    if (selector != kReopenSelector || !values.empty()) {
      return base::Error{EPROTO, "unexpected control reply"};
    }
    return base::Ok{};
  }
};

class ReopenObject final : public ipc::IpcExportedObject {
 public:
  explicit ReopenObject(std::weak_ptr<HelperDelegate> delegate) : delegate_(std::move(delegate)) {}
  base::Result<platform::Work> bind(std::string_view, std::vector<wire::IpcValue>,
                                    ipc::IpcReply reply) override {
    return platform::Work([delegate = delegate_, reply] {
      platform::MainQueue::shared().async([delegate] {
        if (auto self = delegate.lock()) self->applicationShouldHandleReopen(false);
      });
      reply.send({});
    });
  }

 private:
  std::weak_ptr<HelperDelegate> delegate_;
};

}  // namespace

base::Result<std::unique_ptr<ipc::Listener>> openReopenListener(
    std::weak_ptr<HelperDelegate> delegate,
    std::function<bool(const ipc::ServerConnection&)> peerIsTrusted,
    const ipc::ListenerOptions& options) {
  auto interface = std::make_shared<ControlInterface>();
  return ipc::Listener::open(
      kControlServiceName,
      [delegate, peerIsTrusted, interface](ipc::ServerConnection& connection) {
        if (!peerIsTrusted(connection)) return false;
        connection.setExportedInterface(interface);
        connection.setExportedObject(std::make_shared<ReopenObject>(delegate));
        return true;
      },
      options);
}

bool forwardReopen(const ipc::ConnectOptions& options) {
  auto connection = ipc::ClientConnection::connect(kControlServiceName,
                                                   std::make_shared<ControlInterface>(), options);
  if (!connection) return false;
  std::promise<bool> delivered;
  connection->call(
      kReopenSelector, {},
      [&delivered](std::vector<wire::IpcValue>) -> base::Result<platform::Work> {
        return platform::Work([&delivered] { delivered.set_value(true); });
      },
      [&delivered](const base::Error&) { delivered.set_value(false); });
  return delivered.get_future().get();
}

}  // namespace zefra::app

#include "app/self_heal.h"

#include <memory>

#include "app/helper_delegate.h"
#include "base/clock.h"
#include "client/remote_proxy.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/queue.h"
#include "platform/log.h"
#include "xpc/interface.h"

namespace zefra::app {

namespace {

struct Probe {
  DispatchSemaphoreBox box;
  std::mutex connectionMu;
  std::shared_ptr<client::RemoteProxy> connection;
  std::function<void(bool)> completion;

  bool reported() {
    std::lock_guard guard(box.lock);
    return box.claimed;
  }

  void finish(bool answered) {
    if (!box.claim()) return;
    std::shared_ptr<client::RemoteProxy> closing;
    {
      std::lock_guard guard(connectionMu);
      closing = std::move(connection);
    }
    if (closing) {
      closing->invalidate();
      // Not released on a thread of its own connection.
      platform::globalQueue().async([closing] {});
    }
    completion(answered);
  }
};

void probeFrom(std::size_t index, std::function<void(bool)> completion,
               ipc::ConnectOptions options) {
  if (index >= xpc::machServiceNames.size()) return completion(false);
  probeMachService(
      xpc::machServiceNames[index],
      [index, completion, options](bool answered) {
        if (answered) return completion(true);
        probeFrom(index + 1, completion, options);
      },
      options);
}

}  // namespace

void probeMachService(std::string_view name, std::function<void(bool answered)> completion,
                      const ipc::ConnectOptions& options) {
  auto probe = std::make_shared<Probe>();
  probe->completion = std::move(completion);
  auto connection = client::RemoteProxy::connect(
      name, [probe](const base::Error&) { probe->finish(false); }, options);
  if (!connection) {
    // Nobody serves the name: the error outcome, and no time-out to arm.
    platform::globalQueue().async([probe] { probe->finish(false); });
    return;
  }
  {
    std::lock_guard guard(probe->connectionMu);
    probe->connection = connection.value();
  }
  // An error that came before the connection was kept found nothing to
  // close; close it here, or it and the probe would keep each other alive.
  if (probe->reported()) {
    std::shared_ptr<client::RemoteProxy> closing;
    {
      std::lock_guard guard(probe->connectionMu);
      closing = std::move(probe->connection);
    }
    if (closing) closing->invalidate();
    return;
  }
  connection.value()->pingWithReply([probe](std::string) { probe->finish(true); });
  platform::globalQueue().asyncAfter(kProbeTimeout, [probe] { probe->finish(false); });
}

void machServiceAnswers(std::function<void(bool answered)> completion,
                        const ipc::ConnectOptions& options) {
  probeFrom(0, std::move(completion), options);
}

void HelperDelegate::selfHealRegistration(const std::string& version) {
  if (uninstalling_) return;
  auto& services = settings_.services;
  const double now = base::now();
  const double last = services.defaults->doubleForKey(kLastSelfHealKey);
  if (!(now - last > kSelfHealInterval)) return;
  (void)services.defaults->setObject(kLastSelfHealKey, now);
  platform::log(kSelfHealLogLine);
  services.agentService()->unregisterWithCompletionHandler(
      [weak = weak_from_this(), version](std::optional<base::Error>) {
        platform::MainQueue::shared().async([weak, version] {
          if (auto self = weak.lock())
            self->registerAgent(version, false, false, kRegistrationAttempts);
        });
      });
}

}  // namespace zefra::app

#include "app/helper_delegate.h"

#include <unistd.h>

#include <utility>

#include "app/service_listeners.h"
#include "platform/dispatch/main_queue.h"
#include "tools/tool_service.h"
#include "xpc/acceptance/peer_validation.h"
#include "xpc/exported_object.h"
#include "xpc/interface.h"

namespace zefra::app {

DelegateSettings defaultDelegateSettings() {
  DelegateSettings settings;
  settings.launchEvent = platform::launchEvent();
  // The listeners check the connecting process before the delegate hears of
  // it (without holding a thread while a check waits), and bind the
  // connection to that process and program.
  settings.listenerOptions.admission = xpc::admitPeer;
  settings.peerIsTrusted = [](const ipc::ServerConnection& connection) {
    return connection.peerAdmitted();
  };
  settings.makeService = [] { return tools::ToolService::create(); };
  settings.services = defaultAppServices();
  return settings;
}

HelperDelegate::HelperDelegate(DelegateSettings settings) : settings_(std::move(settings)) {}

std::shared_ptr<HelperDelegate>& sharedDelegate() {
  static std::shared_ptr<HelperDelegate> delegate;
  return delegate;
}

void HelperDelegate::applicationDidFinishLaunching() {
  std::weak_ptr<HelperDelegate> weak = weak_from_this();
  auto opened = openServiceListeners(
      xpc::machServiceNames,
      [weak](ipc::ServerConnection& connection) {
        auto self = weak.lock();
        return self && self->listenerShouldAcceptNewConnection(connection);
      },
      settings_.listenerOptions);
  listeners_ = std::move(opened.listeners);
  const bool interactive = platform::isOpenApplicationEvent(settings_.launchEvent);
  const bool servedElsewhere = opened.outcome == ServiceListeners::Outcome::kServedElsewhere;
  // A process that serves nothing would only hold the user's session open,
  // unless the user opened it while only the user manager's sockets hold the
  // names: no helper runs then that would show the dialogs.
  if (opened.outcome != ServiceListeners::Outcome::kServing &&
      !(servedElsewhere && interactive && servesReopen_)) {
    settings_.services.exit(servedElsewhere ? 0 : 1);
    return;
  }
  settings_.services.observeTerminations([weak](const platform::TerminationNotification& note) {
    if (auto self = weak.lock()) self->hostAppDidTerminate(note);
  });
  handleLaunch(interactive);
  launched_ = true;
  if (std::exchange(reopenPending_, false)) applicationShouldHandleReopen(false);
}

bool HelperDelegate::applicationShouldHandleReopen(bool) {
  if (!launched_) {
    reopenPending_ = true;
    return false;
  }
  showStatus();
  return false;
}

bool HelperDelegate::listenerShouldAcceptNewConnection(ipc::ServerConnection& connection) {
  return acceptConnection(connection);
}

bool HelperDelegate::acceptConnection(ipc::ServerConnection& connection) {
  if (!settings_.peerIsTrusted(connection)) return false;
  if (connection.processIdentifier() != getpid()) {
    platform::MainQueue::shared().async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->servedConnection_ = true;
    });
  }
  connection.setExportedInterface(xpc::makeHelperInterface());
  connection.setExportedObject(xpc::makeExportedObject(settings_.makeService()));
  connection.resume();
  return true;
}

std::string HelperDelegate::bundleVersion() const {
  auto it = settings_.services.infoDictionary.find("CFBundleVersion");
  if (it == settings_.services.infoDictionary.end() || !it->is_string()) return "0";
  return it->get<std::string>();
}

std::string HelperDelegate::shortVersionString() const {
  auto it = settings_.services.infoDictionary.find("CFBundleShortVersionString");
  if (it == settings_.services.infoDictionary.end() || !it->is_string()) return "?";
  return it->get<std::string>();
}

int HelperDelegate::runAlert(const platform::Alert& alert) {
  return settings_.services.alerts->runModal(alert);
}

void HelperDelegate::terminate() {
  settings_.services.terminate();
}

}  // namespace zefra::app

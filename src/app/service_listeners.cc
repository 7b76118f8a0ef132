#include "app/service_listeners.h"

#include <cerrno>
#include <string>

#include "platform/log.h"

namespace zefra::app {

ServiceListeners openServiceListeners(std::span<const std::string_view> names,
                                      const ipc::Listener::AcceptHandler& handler,
                                      const ipc::ListenerOptions& options) {
  ServiceListeners opened;
  std::vector<std::string> failures;
  bool allServedElsewhere = true;
  for (std::string_view name : names) {
    auto listener = ipc::Listener::open(name, handler, options);
    if (listener) {
      opened.listeners.push_back(std::move(listener.value()));
      continue;
    }
    if (listener.error().code != EADDRINUSE) allServedElsewhere = false;
    failures.push_back("cannot serve " + std::string(name) + ": " + listener.error().message);
  }
  if (!opened.listeners.empty()) {
    opened.outcome = ServiceListeners::Outcome::kServing;
  } else if (allServedElsewhere && !names.empty()) {
    opened.outcome = ServiceListeners::Outcome::kServedElsewhere;
    platform::log("another instance already serves every service name");
    return opened;
  }
  for (const auto& failure : failures) platform::log(failure);
  return opened;
}

}  // namespace zefra::app

#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "ipc/listener.h"

namespace zefra::app {

struct ServiceListeners {
  enum class Outcome {
    kServing,          // at least one name is ours
    kServedElsewhere,  // another live instance serves every name
    kFailed,           // no name could be opened, for some other reason
  };
  std::vector<std::unique_ptr<ipc::Listener>> listeners;
  Outcome outcome = Outcome::kFailed;
};

// Opens one listener per name, in order. A name that cannot be opened is
// logged with its path and the reason, except when another instance serves
// every name: that is said in one line.
ServiceListeners openServiceListeners(std::span<const std::string_view> names,
                                      const ipc::Listener::AcceptHandler& handler,
                                      const ipc::ListenerOptions& options);

}  // namespace zefra::app

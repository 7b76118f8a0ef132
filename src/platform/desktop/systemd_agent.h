#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/agent_service.h"

namespace zefra::platform {

// The agent as a systemd user service with its two sockets, through
// `systemctl` (a path) against the user manager it reaches.
std::unique_ptr<AgentService> makeSystemdAgent(std::string systemctl, std::string base,
                                               AgentLocations locations);

// `systemctl` from PATH when it reaches a running user manager.
std::optional<std::string> reachableSystemctl();

}  // namespace zefra::platform

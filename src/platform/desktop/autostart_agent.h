#pragma once

#include <memory>
#include <string>

#include "platform/desktop/agent_service.h"

namespace zefra::platform {

// The agent as an XDG autostart entry, for sessions without a user manager:
// <configHome>/autostart/<base>.desktop, started at once when nothing
// listens on its sockets.
std::unique_ptr<AgentService> makeAutostartAgent(std::string base, AgentLocations locations);

}  // namespace zefra::platform

#pragma once

#include "update/update_settings.h"

namespace zefra::update {

// What happens just before the process ends for an update: the agent is
// unregistered (whatever comes of it) and "RegisteredAgentVersion" removed,
// so that the next copy registers itself afresh.
void takeOutOfService(const UpdateSettings& settings);

}  // namespace zefra::update

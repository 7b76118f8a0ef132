#pragma once

#include <optional>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// The listening socket that systemd passed under `name` (LISTEN_PID,
// LISTEN_FDS, LISTEN_FDNAMES), taken at most once per process. Every passed
// descriptor is made close-on-exec on the first look. nullopt when there is
// none for this name.
Result<std::optional<UniqueFd>> takeActivatedSocket(std::string_view name);

}  // namespace zefra::platform

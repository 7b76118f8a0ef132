#pragma once

#include <sys/types.h>

#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

// Connects a close-on-exec stream socket to the socket file at `path`,
// waiting at most five seconds for a listener whose backlog is full.
Result<UniqueFd> connectStream(const std::string& path);

// The user of the process listening at the other end of `fd`.
Result<uid_t> listenerUser(int fd);

}  // namespace zefra::platform

#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "base/deadline.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace zefra::platform {

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Both ends close-on-exec and blocking.
Result<Pipe> makePipe();

// Reads until end of file, waiting while a non-blocking `fd` has nothing yet;
// more than `limit` bytes is an error (EFBIG).
Result<std::string> readToEnd(int fd, std::size_t limit = std::numeric_limits<std::size_t>::max());

// Writes every byte, retrying after interruptions and short writes, and
// waiting while a non-blocking `fd` is full. A reader that went away gives
// EPIPE as an error, provided SIGPIPE is ignored.
Status writeAll(int fd, std::string_view data);

// Whether a write to `fd` would go through without waiting now (at least a
// page of room in a pipe); false on any error.
bool writableNow(int fd);

// "/dev/null", close-on-exec; `flags` as for open(2), e.g. O_RDONLY.
Result<UniqueFd> openNullDevice(int flags);

}  // namespace zefra::platform

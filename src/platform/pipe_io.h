#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_fd.h"

namespace zefra::platform {

// A point on the monotonic clock after which a blocking call gives up.
class Deadline {
 public:
  static Deadline after(double seconds);
  static Deadline never() { return Deadline(); }

  bool isNever() const { return never_; }
  bool passed() const;
  // Milliseconds left, rounded up, for poll(); -1 for a deadline that never comes.
  int pollTimeout() const;

 private:
  Deadline() = default;
  bool never_ = true;
  std::chrono::steady_clock::time_point at_;
};

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Both ends close-on-exec and blocking.
Result<Pipe> makePipe();

// Reads until end of file. With a deadline, fails with ETIMEDOUT when the end
// has not come by then (the bytes read so far are dropped).
Result<std::string> readToEnd(int fd);
Result<std::string> readToEnd(int fd, const Deadline& deadline);

// Writes every byte, retrying after interruptions and short writes. A reader
// that went away gives EPIPE as an error, provided SIGPIPE is ignored.
Status writeAll(int fd, std::string_view data);

// "/dev/null", close-on-exec; `flags` as for open(2), e.g. O_RDONLY.
Result<UniqueFd> openNullDevice(int flags);

}  // namespace zefra::platform

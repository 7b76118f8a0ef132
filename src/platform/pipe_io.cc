#include "platform/pipe_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zefra::platform {

namespace {

// One pipe's worth: most tools' whole output fits in the first read.
constexpr std::size_t kFirstReadSize = 64 * 1024;

}  // namespace

Deadline Deadline::after(double seconds) {
  Deadline deadline;
  deadline.never_ = false;
  deadline.at_ = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  return deadline;
}

bool Deadline::passed() const {
  return !never_ && std::chrono::steady_clock::now() >= at_;
}

int Deadline::pollTimeout() const {
  if (never_) return -1;
  auto left = at_ - std::chrono::steady_clock::now();
  if (left <= left.zero()) return 0;
  auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return millis > 0x7fffffff ? 0x7fffffff : static_cast<int>(millis);
}

Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errnoError("Could not create a pipe", errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Result<std::string> readToEnd(int fd) {
  return readToEnd(fd, Deadline::never());
}

Result<std::string> readToEnd(int fd, const Deadline& deadline) {
  // Read straight into the result's storage, doubling it when full, so that
  // each byte is copied once by the kernel and at most once more by a growth.
  std::string buffer(kFirstReadSize, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == buffer.size()) buffer.resize(buffer.size() * 2);
    if (!deadline.isNever()) {
      pollfd entry{fd, POLLIN, 0};
      int ready = ::poll(&entry, 1, deadline.pollTimeout());
      if (ready < 0) {
        if (errno == EINTR) continue;
        return errnoError("Could not wait for the pipe", errno);
      }
      if (ready == 0) return Error{ETIMEDOUT, "Timed out reading from the pipe"};
    }
    ssize_t count = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (count > 0) {
      used += static_cast<std::size_t>(count);
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      return errnoError("Could not read from the pipe", errno);
    }
  }
  buffer.resize(used);
  // Small results should not pin the whole first buffer for their lifetime.
  if (used <= kFirstReadSize / 2) buffer.shrink_to_fit();
  return buffer;
}

Status writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t count = ::write(fd, data.data(), data.size());
    if (count >= 0) {
      data.remove_prefix(static_cast<std::size_t>(count));
    } else if (errno != EINTR) {
      return errnoError("Could not write to the pipe", errno);
    }
  }
  return Ok{};
}

Result<UniqueFd> openNullDevice(int flags) {
  int fd = ::open("/dev/null", flags | O_CLOEXEC);
  if (fd < 0) return errnoError("Could not open /dev/null", errno);
  return UniqueFd(fd);
}

}  // namespace zefra::platform

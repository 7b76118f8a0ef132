#include "platform/files/pipe_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/eintr.h"

namespace zefra::platform {

Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errnoError("Could not create a pipe", errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

// Someone made the file description non-blocking (a standard stream shared
// with others): "not now" is neither the end nor a failure, so wait.
Status waitUntil(int fd, short events) {
  pollfd ready{fd, events, 0};
  if (base::retryOnEintr([&] { return ::poll(&ready, 1, -1); }) < 0) {
    return errnoError("Could not wait for the descriptor", errno);
  }
  return Ok{};
}

bool wouldBlock(ssize_t count) {
  return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

Result<std::string> readToEnd(int fd, std::size_t limit) {
  std::string text;
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t count = base::retryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
    if (wouldBlock(count)) {
      if (auto waited = waitUntil(fd, POLLIN); !waited) return waited.error();
      continue;
    }
    if (count < 0) return errnoError("Could not read", errno);
    if (count == 0) return text;
    if (static_cast<std::size_t>(count) > limit - text.size()) {
      return Error{EFBIG, "More than " + std::to_string(limit) + " bytes to read"};
    }
    text.append(chunk, static_cast<std::size_t>(count));
  }
}

Status writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t count = base::retryOnEintr([&] { return ::write(fd, data.data(), data.size()); });
    if (wouldBlock(count)) {
      if (auto waited = waitUntil(fd, POLLOUT); !waited) return waited;
      continue;
    }
    if (count < 0) return errnoError("Could not write", errno);
    data.remove_prefix(static_cast<std::size_t>(count));
  }
  return Ok{};
}

bool writableNow(int fd) {
  pollfd ready{fd, POLLOUT, 0};
  return base::retryOnEintr([&] { return ::poll(&ready, 1, 0); }) == 1 &&
         (ready.revents & (POLLOUT | POLLERR | POLLNVAL)) == POLLOUT;
}

Result<UniqueFd> openNullDevice(int flags) {
  int fd = ::open("/dev/null", flags | O_CLOEXEC);
  if (fd < 0) return errnoError("Could not open /dev/null", errno);
  return UniqueFd(fd);
}

}  // namespace zefra::platform

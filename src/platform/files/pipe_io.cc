#include "platform/files/pipe_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zefra::platform {

Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errnoError("Could not create a pipe", errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Result<std::string> readToEnd(int fd) {
  std::string text;
  char chunk[64 * 1024];
  for (;;) {
    ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count > 0) {
      text.append(chunk, static_cast<std::size_t>(count));
    } else if (count == 0) {
      return text;
    } else if (errno != EINTR) {
      return errnoError("Could not read from the pipe", errno);
    }
  }
}

Status writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t count = ::write(fd, data.data(), data.size());
    if (count >= 0) {
      data.remove_prefix(static_cast<std::size_t>(count));
    } else if (errno != EINTR) {
      return errnoError("Could not write", errno);
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

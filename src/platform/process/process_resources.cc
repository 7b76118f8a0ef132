#include "platform/process/process_resources.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace zefra::platform {

void boundAllocatorArenas(int arenas) {
  (void)mallopt(M_ARENA_MAX, arenas);
}

void releaseFreeMemory() {
  (void)malloc_trim(0);
}

void openMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number, so this one unless another thread raced us.
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

Status raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errnoError("getrlimit(RLIMIT_NOFILE)", errno);
  if (limit.rlim_cur == limit.rlim_max) return Ok{};
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return errnoError("setrlimit(RLIMIT_NOFILE)", errno);
  return Ok{};
}

}  // namespace zefra::platform

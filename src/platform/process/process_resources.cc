#include "platform/process/process_resources.h"

#include <malloc.h>
#include <sys/resource.h>

#include <cerrno>

namespace zefra::platform {

void boundAllocatorArenas(int arenas) {
  (void)mallopt(M_ARENA_MAX, arenas);
}

void releaseFreeMemory() {
  (void)malloc_trim(0);
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

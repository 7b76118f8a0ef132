#pragma once

#include <cstddef>
#include <cstdint>

namespace zefra::platform {

// The kernel's struct clone_args up to the cgroup field (Linux 5.7).
struct CloneArgs {
  std::uint64_t flags = 0;
  std::uint64_t pidfd = 0;
  std::uint64_t childTid = 0;
  std::uint64_t parentTid = 0;
  std::uint64_t exitSignal = 0;
  std::uint64_t stack = 0;
  std::uint64_t stackSize = 0;
  std::uint64_t tls = 0;
  std::uint64_t setTid = 0;
  std::uint64_t setTidSize = 0;
  std::uint64_t cgroup = 0;
};

// True where rawClone3 exists.
bool haveRawClone3();

// clone3(2) and clone(2) for a child that runs `body(argument)` on a stack
// of its own and exits with its result. Both are system calls made here:
// glibc 2.36 has no clone3 wrapper, and sanitizers wrap glibc's clone with
// bookkeeping that, in a child sharing our memory, would land in ours.
// (Elsewhere than x86-64, rawClone is glibc's clone and rawClone3 fails with
// ENOSYS.) Each returns the child's pid to the parent, or the negated errno.
long rawClone3(CloneArgs& args, int (*body)(void*), void* argument);
// `flags` carries the exit signal; with CLONE_PIDFD the pidfd goes to `pidfd`.
long rawClone(unsigned long flags, char* stackTop, int* pidfd, int (*body)(void*), void* argument);

}  // namespace zefra::platform

#include "platform/dispatch/wakeup.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace zefra::platform {

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::notify() {
  const std::uint64_t one = 1;
  if (fd_) (void)!::write(fd_.get(), &one, sizeof one);
}

void Wakeup::clear() {
  std::uint64_t count;
  if (fd_) (void)!::read(fd_.get(), &count, sizeof count);
}

}  // namespace zefra::platform

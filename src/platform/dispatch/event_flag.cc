#include "platform/dispatch/event_flag.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace zefra::platform {

EventFlag::EventFlag() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void EventFlag::raise() {
  if (raised_.exchange(true, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  if (fd_) (void)!::write(fd_.get(), &one, sizeof one);
}

}  // namespace zefra::platform

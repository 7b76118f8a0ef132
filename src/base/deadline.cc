#include "base/deadline.h"

namespace zefra::base {

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

}  // namespace zefra::base

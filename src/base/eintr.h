#pragma once

#include <cerrno>

namespace zefra::base {

// Calls `call` until it stops failing with EINTR: a signal that arrives
// during a system call is no failure of it. For calls that return -1 and set
// errno on failure.
template <class Call>
auto retryOnEintr(Call&& call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace zefra::base

#include "base/result.h"

#include <cstring>

namespace zefra::base {

Error errnoError(const std::string& what, int err) {
  return Error{err, what + ": " + std::strerror(err)};
}

}  // namespace zefra::base

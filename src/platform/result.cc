#include "platform/result.h"

#include <cstring>

namespace zefra::platform {

Error errnoError(const std::string& what, int err) {
  return Error{err, what + ": " + std::strerror(err)};
}

}  // namespace zefra::platform

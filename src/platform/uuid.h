#pragma once

#include <string>

namespace zefra::platform {

// A random (version 4) UUID in its usual upper-case text form.
std::string randomUuid();

}  // namespace zefra::platform

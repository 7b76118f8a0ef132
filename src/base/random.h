#pragma once

#include <cstddef>
#include <string>

namespace zefra::base {

// A random (version 4) UUID in its usual upper-case text form.
std::string randomUuid();
// `count` bytes from the kernel's random source.
std::string randomBytes(std::size_t count);

}  // namespace zefra::base

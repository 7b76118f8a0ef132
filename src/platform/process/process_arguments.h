#pragma once

#include <string>
#include <vector>

namespace zefra::platform {

// This process's arguments, the executable's own first (/proc/self/cmdline).
std::vector<std::string> processArguments();

}  // namespace zefra::platform

#pragma once

#include <string>
#include <vector>

namespace zefra::client {

// The command-line client: parses `args` (without the program name), talks
// to the helper and returns the process's exit status.
int runCommandLine(const std::vector<std::string>& args);

}  // namespace zefra::client

#pragma once

#include <map>
#include <string>
#include <vector>

namespace zefra::platform {

// The process's own environment, as name to value: one value per name, the
// one getenv answers.
std::map<std::string, std::string> processEnvironment();

// "NAME=VALUE" entries for a child's environment.
std::vector<std::string> environmentEntries(const std::map<std::string, std::string>& environment);

}  // namespace zefra::platform

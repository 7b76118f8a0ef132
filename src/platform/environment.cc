#include "platform/environment.h"

#include <unistd.h>

#include <cstring>

namespace zefra::platform {

std::map<std::string, std::string> processEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (!equals || equals == *entry) continue;
    environment.emplace(std::string(*entry, static_cast<std::size_t>(equals - *entry)), std::string(equals + 1));
  }
  return environment;
}

std::vector<std::string> environmentEntries(const std::map<std::string, std::string>& environment) {
  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  return entries;
}

}  // namespace zefra::platform

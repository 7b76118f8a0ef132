#include "platform/process/process_arguments.h"

#include "platform/files/small_file.h"
#include "platform/process/proc_entries.h"

namespace zefra::platform {

std::vector<std::string> processArguments() {
  std::vector<std::string> arguments;
  auto text = readSmallFile(ownProcPath("cmdline"));
  if (!text) return arguments;
  std::string_view rest = text.value();
  while (!rest.empty()) {
    const std::size_t end = rest.find('\0');
    arguments.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return arguments;
}

}  // namespace zefra::platform

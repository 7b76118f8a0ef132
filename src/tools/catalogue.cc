#include "tools/catalogue.h"

#include <algorithm>

namespace zefra::tools {

bool isAllowedTool(std::string_view name) {
  return std::find(allowedTools.begin(), allowedTools.end(), name) != allowedTools.end();
}

std::vector<std::string> makeSearchDirectories(const std::string& home) {
  // Plain concatenation: no "~" expansion, no normalisation, no existence check.
  return {
      "/opt/homebrew/bin",
      "/usr/local/bin",
      "/opt/local/bin",
      "/Library/TeX/texbin",
      "/Applications/quarto/bin",
      "/usr/bin",
      home + "/Library/TinyTeX/bin/universal-darwin",
      home + "/.local/bin",
      home + "/.claude/local",
      home + "/.bun/bin",
      home + "/.npm-global/bin",
      home + "/.volta/bin",
  };
}

}  // namespace zefra::tools

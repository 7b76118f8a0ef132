#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace zefra::tools {

// The only names the service ever resolves, runs or lists, in listing order.
inline constexpr std::array<std::string_view, 11> allowedTools = {
    "pandoc",   "pandoc-crossref", "typst",    "quarto", "xelatex", "pdflatex",
    "lualatex", "latexmk",         "tectonic", "claude", "codex",
};

// Exact, case-sensitive membership: no trimming, folding or path handling.
bool isAllowedTool(std::string_view name);

// The 12 directories searched for a tool, in search order.
std::vector<std::string> makeSearchDirectories(const std::string& home);

}  // namespace zefra::tools

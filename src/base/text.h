#pragma once

#include <string_view>

namespace zefra::base {

// `text` without the ASCII white space at either end.
inline std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace zefra::base

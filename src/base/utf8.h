#pragma once

#include <string>
#include <string_view>

namespace zefra::base {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);
// Each ill-formed byte becomes U+FFFD; valid text comes back unchanged.
std::string repairUtf8(std::string_view text);

}  // namespace zefra::base

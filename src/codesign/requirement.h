#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "codesign/verify.h"

namespace zefra::codesign {

// What code must satisfy beyond a valid signature under the anchor.
struct CodeRequirement {
  std::optional<std::string> identifier;
  std::optional<std::string> teamIdentifier;
};

// The requirement language this build understands: clauses joined by "and",
//   anchor apple generic                   (the compiled anchor; mandatory)
//   identifier "ID"
//   certificate leaf[subject.OU] = "TEAM"
// Anything else does not compile.
Result<CodeRequirement> parseRequirement(std::string_view text);
Status checkRequirement(const SigningInfo& info, const CodeRequirement& requirement);

}  // namespace zefra::codesign

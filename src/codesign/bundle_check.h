#pragma once

#include <string>

#include "codesign/requirement.h"

namespace zefra::codesign {

// An update bundle: the main executable (CFBundleExecutable in
// Contents/Info.json) verifies and meets `requirement`, the bundle matches
// its resource seal exactly, and every other signed file in it verifies
// under the same anchor and team.
Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement,
                                 const TrustAnchor& anchor, const VerifyOptions& options);
// With the compiled anchor, at the current time.
Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement);

}  // namespace zefra::codesign

#include "codesign/bundle_check.h"

#include <fcntl.h>

#include <cerrno>

#include "base/unique_fd.h"
#include "codesign/bundle_seal.h"

namespace zefra::codesign {

Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement,
                                 const TrustAnchor& anchor, const VerifyOptions& options) {
  auto layout = readBundleLayout(bundlePath);
  if (!layout) return layout.error();
  UniqueFd fd(::open(layout->executable.c_str(),
                     O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd) return errnoError("cannot open " + layout->executable, errno);
  auto info = verifyExecutable(fd.get(), anchor, options);
  if (!info) return info.error();
  if (auto met = checkRequirement(*info, requirement); !met) return met.error();
  if (!info->resourceSeal) return refusal("the main executable carries no resource seal");

  auto seal = computeResourceSeal(*layout);
  if (!seal) return seal.error();
  if (seal->digest != *info->resourceSeal) {
    return refusal("the bundle's files do not match its resource seal");
  }
  CodeRequirement nested{std::nullopt, info->teamIdentifier};
  for (const SealEntry& entry : seal->entries) {
    if (!entry.carriesSignature) continue;
    std::string path = layout->root + "/" + entry.path;
    UniqueFd nestedFd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!nestedFd) return errnoError("cannot open " + path, errno);
    auto nestedInfo = verifyExecutable(nestedFd.get(), anchor, options);
    if (!nestedInfo) return Error{0, entry.path + ": " + nestedInfo.error().message};
    if (auto met = checkRequirement(*nestedInfo, nested); !met) {
      return Error{0, entry.path + ": " + met.error().message};
    }
  }
  return info;
}

Result<SigningInfo> verifyBundle(const std::string& bundlePath,
                                 const CodeRequirement& requirement) {
  const Result<TrustAnchor>& anchor = TrustAnchor::compiled();
  if (!anchor) return anchor.error();
  return verifyBundle(bundlePath, requirement, anchor.value(), VerifyOptions::forUpdates());
}

}  // namespace zefra::codesign

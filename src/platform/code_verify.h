#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_signature.h"
#include "platform/result.h"

// Verification of code signatures against one trust anchor.
//
// A signature is valid when its CMS verifies over the payload, the payload's
// code digest matches the file, and the signer's chain (leaf plus the
// intermediates carried in the CMS) leads to the anchor: no system CA store,
// no partial chains. The leaf must be a non-CA certificate whose extended key
// usage includes code signing (and whose key usage, if present, includes
// digital signature); intermediates must be CAs. The team identifier is the
// leaf's single subject OU, taken byte for byte.
//
// Time policy: a running peer is checked without looking at certificate
// validity (a program already installed must not stop being served when its
// certificate expires, and no trusted timestamp says when it was signed); an
// update is checked at the current time, so an expired or not yet valid
// signer is refused.
namespace zefra::platform {

// A parsed anchor with its certificate stores, built once and shared.
class TrustAnchor {
 public:
  // Exactly one self-signed CA certificate.
  static Result<TrustAnchor> fromPem(std::string_view pem);
  static Result<TrustAnchor> fromFile(const std::string& path);
  // The anchor compiled into this build; nothing at run time changes it.
  static const Result<TrustAnchor>& compiled();

  std::string subject() const;

  struct State;
  const State& state() const { return *state_; }

 private:
  explicit TrustAnchor(std::shared_ptr<const State> state) : state_(std::move(state)) {}
  std::shared_ptr<const State> state_;
};

enum class TimePolicy { kIgnoreValidity, kCurrentTime, kAtTime };

struct VerifyOptions {
  TimePolicy time = TimePolicy::kCurrentTime;
  std::int64_t atTime = 0;  // seconds since the epoch, with kAtTime

  static VerifyOptions forPeers() { return {TimePolicy::kIgnoreValidity, 0}; }
  static VerifyOptions forUpdates() { return {TimePolicy::kCurrentTime, 0}; }
  static VerifyOptions at(std::int64_t seconds) { return {TimePolicy::kAtTime, seconds}; }
};

struct SigningInfo {
  std::string identifier;
  std::optional<std::string> teamIdentifier;  // none when the leaf has no OU
  std::vector<std::string> chainSubjects;     // leaf first, anchor last
  Sha256 codeHash{};
  std::optional<Sha256> resourceSeal;
};

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

Result<SigningInfo> verifySignedImage(const SignedImage& image, const TrustAnchor& anchor,
                                      const VerifyOptions& options);
Result<SigningInfo> verifyExecutable(int fd, const TrustAnchor& anchor,
                                     const VerifyOptions& options);
Result<SigningInfo> verifyExecutable(const std::string& path, const TrustAnchor& anchor,
                                     const VerifyOptions& options);

// What a signature says, read without judging it (for display): nothing
// here is trusted until verifyExecutable agrees.
struct SignatureDescription {
  SignedPayload payload;
  bool codeMatches = false;                   // the file's code digest equals the payload's
  std::optional<std::string> teamIdentifier;  // the signer's OU, when single
  std::vector<std::string> chainSubjects;     // signer first, as carried
};
Result<SignatureDescription> describeSignature(int fd);
Result<SignatureDescription> describeSignature(const std::string& path);

// An update bundle: the main executable (CFBundleExecutable in
// Contents/Info.json) verifies and meets `requirement`, the bundle matches
// its resource seal exactly, and every other signed file in it verifies
// under the same anchor and team.
Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement,
                                 const TrustAnchor& anchor, const VerifyOptions& options);
// With the compiled anchor, at the current time.
Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement);

}  // namespace zefra::platform

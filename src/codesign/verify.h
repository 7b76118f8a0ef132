#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codesign/signature_block.h"
#include "codesign/trust_anchor.h"

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
namespace zefra::codesign {

struct SigningInfo {
  std::string identifier;
  std::optional<std::string> teamIdentifier;  // none when the leaf has no OU
  std::vector<std::string> chainSubjects;     // leaf first, anchor last
  std::uint64_t codeLength = 0;
  Sha256 codeHash{};
  std::optional<Sha256> resourceSeal;
};

// The signature alone, its code unread: the CMS over the payload, the chain
// and the signer. `codeHash` is then what the signature claims for the code.
Result<SigningInfo> verifySignatureBlock(const SignatureBlock& block, const TrustAnchor& anchor,
                                         const VerifyOptions& options);
// Whether the code of `fd` hashes to what `info` claims.
Status checkCode(int fd, const SigningInfo& info);
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

// The error of a signature that does not hold.
Error refusal(const std::string& why);

}  // namespace zefra::codesign

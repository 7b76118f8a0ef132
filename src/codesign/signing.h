#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "codesign/openssl_util.h"

// Signing executables and bundles (the signing tool's side of the scheme in
// code_signature.h).
namespace zefra::codesign {

// A private key with its certificate chain: the leaf first, then the
// intermediates, which travel in every signature.
class SigningIdentity {
 public:
  static Result<SigningIdentity> fromPem(std::string_view keyPem, std::string_view chainPem);
  static Result<SigningIdentity> load(const std::string& keyPath, const std::string& chainPath);

  // Detached CMS SignedData (DER) over `payload`, SHA-256.
  Result<std::string> sign(std::string_view payload) const;

 private:
  SigningIdentity() = default;
  ossl::EvpPkeyPtr key_;
  ossl::X509Ptr leaf_;
  ossl::X509StackPtr intermediates_;
};

// Signs the file in place (through a renamed copy, so a running copy of it
// keeps its bytes). A block already there is replaced.
Status signExecutable(const std::string& path, const SigningIdentity& identity,
                      std::string_view identifier);

// Seals every other file of the bundle and signs its main executable with
// the seal's digest.
Status signBundle(const std::string& bundlePath, const SigningIdentity& identity,
                  std::string_view identifier);

}  // namespace zefra::codesign

#include "codesign/trust_anchor.h"

#include <openssl/x509v3.h>

#include "codesign/anchor_pem.h"
#include "platform/files/small_file.h"

namespace zefra::codesign {

using platform::readSmallFile;

namespace {

// An id of our own, far from OpenSSL's built-in purposes (1 to 11).
constexpr int kCodeSigningPurpose = 0x5a45;

// OpenSSL 3.0 knows no code-signing purpose, and its S/MIME default refuses
// code-signing-only leaves, so the chain check gets one of its own.
int checkCodeSigning(const X509_PURPOSE*, const X509* cert, int asCa) {
  X509* x = const_cast<X509*>(cert);  // the getters cache extensions
  uint32_t flags = X509_get_extension_flags(x);
  bool ekuAllowsCodeSigning = (X509_get_extended_key_usage(x) & XKU_CODE_SIGN) != 0;
  if (asCa) {
    if (X509_check_ca(x) == 0) return 0;
    // An issuer restricted by extended key usage must include code signing.
    return !(flags & EXFLAG_XKUSAGE) || ekuAllowsCodeSigning ||
           (X509_get_extended_key_usage(x) & XKU_ANYEKU);
  }
  if (flags & EXFLAG_CA) return 0;
  if (!(flags & EXFLAG_XKUSAGE) || !ekuAllowsCodeSigning) return 0;
  if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(x) & KU_DIGITAL_SIGNATURE)) return 0;
  return 1;
}

int codeSigningPurpose() {
  static const int purpose = [] {
    X509_PURPOSE_add(kCodeSigningPurpose, X509_TRUST_DEFAULT, 0, checkCodeSigning,
                     "Zefra code signing", "zefra-codesign", nullptr);
    ossl::takeErrors();
    return X509_PURPOSE_get_by_id(kCodeSigningPurpose) >= 0 ? kCodeSigningPurpose : -1;
  }();
  return purpose;
}

}  // namespace

Result<ossl::X509StorePtr> makeTrustStore(X509* anchor, const VerifyOptions& options) {
  int purpose = codeSigningPurpose();
  ossl::X509StorePtr store(X509_STORE_new());
  if (purpose < 0 || !store || X509_STORE_add_cert(store.get(), anchor) != 1 ||
      X509_STORE_set_purpose(store.get(), purpose) != 1) {
    return ossl::error("cannot build the trust store");
  }
  X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
  switch (options.time) {
    case TimePolicy::kIgnoreValidity:
      X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_NO_CHECK_TIME);
      break;
    case TimePolicy::kCurrentTime:
      break;
    case TimePolicy::kAtTime:
      X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(options.atTime));
      break;
  }
  return store;
}

Result<TrustAnchor> TrustAnchor::fromPem(std::string_view pem) {
  ossl::initializeCrypto();
  auto certs = ossl::readCertificates(pem);
  if (!certs) return Error{0, "trust anchor: " + certs.error().message};
  if (certs->size() != 1) return Error{0, "trust anchor: expected exactly one certificate"};
  X509* cert = (*certs)[0].get();
  if (X509_check_ca(cert) != 1 || !(X509_get_extension_flags(cert) & EXFLAG_SS)) {
    ossl::takeErrors();
    return Error{0, "trust anchor: not a self-signed CA certificate"};
  }
  auto state = std::make_shared<State>();
  state->cert = std::move((*certs)[0]);
  auto peer = makeTrustStore(state->cert.get(), VerifyOptions::forPeers());
  if (!peer) return peer.error();
  auto current = makeTrustStore(state->cert.get(), VerifyOptions::forUpdates());
  if (!current) return current.error();
  state->peerStore = std::move(*peer);
  state->currentStore = std::move(*current);
  return TrustAnchor(std::move(state));
}

Result<TrustAnchor> TrustAnchor::fromFile(const std::string& path) {
  auto pem = readSmallFile(path);
  if (!pem) return pem.error();
  return fromPem(*pem);
}

const Result<TrustAnchor>& TrustAnchor::compiled() {
  static const Result<TrustAnchor> anchor = fromPem(kCompiledAnchorPem);
  return anchor;
}

std::string TrustAnchor::subject() const {
  return ossl::subjectLine(state_->cert.get());
}

}  // namespace zefra::codesign

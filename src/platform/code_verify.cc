#include "platform/code_verify.h"

#include <fcntl.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/anchor_pem.h"
#include "platform/bundle_seal.h"
#include "platform/cms_shape.h"
#include "platform/small_file.h"
#include "platform/unique_fd.h"

namespace zefra::platform {

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

Error refused(const std::string& why) {
  return Error{0, "invalid code signature: " + why};
}

Result<ossl::X509StorePtr> makeStore(X509* anchor, const VerifyOptions& options) {
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

}  // namespace

struct TrustAnchor::State {
  ossl::X509Ptr cert;
  ossl::X509StorePtr peerStore;     // validity time ignored
  ossl::X509StorePtr currentStore;  // checked at the time of each call
};

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
  auto peer = makeStore(state->cert.get(), VerifyOptions::forPeers());
  if (!peer) return peer.error();
  auto current = makeStore(state->cert.get(), VerifyOptions::forUpdates());
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

namespace {

Result<std::optional<std::string>> teamOf(X509* leaf) {
  const X509_NAME* name = X509_get_subject_name(leaf);
  std::optional<std::string> team;
  for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, i)) >= 0;) {
    if (team) return refused("the signing certificate names more than one team");
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    // Byte for byte as encoded, for the string types that hold text as bytes;
    // wide types are converted to UTF-8 first.
    int type = ASN1_STRING_type(value);
    if (type == V_ASN1_UTF8STRING || type == V_ASN1_PRINTABLESTRING || type == V_ASN1_IA5STRING ||
        type == V_ASN1_T61STRING) {
      team.emplace(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                   static_cast<std::size_t>(ASN1_STRING_length(value)));
    } else {
      unsigned char* utf8 = nullptr;
      int length = ASN1_STRING_to_UTF8(&utf8, value);
      if (length < 0) return refused("unreadable team identifier");
      team.emplace(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
      OPENSSL_free(utf8);
    }
  }
  return team;
}

// The chain from the leaf up to the anchor (or as far as the carried
// certificates go without one). CMS_verify has already proven that a chain
// exists; walking issuer names over the same certificates names its members
// without verifying the signatures a second time.
std::vector<X509*> chainOf(X509* leaf, STACK_OF(X509) * carried, X509* anchor) {
  std::vector<X509*> chain;
  X509* current = leaf;
  for (int depth = 0; current && depth < 16; ++depth) {
    chain.push_back(current);
    if (anchor && (current == anchor || X509_check_issued(anchor, current) == X509_V_OK)) {
      if (current != anchor) chain.push_back(anchor);
      break;
    }
    X509* next = nullptr;
    for (int i = 0; carried && i < sk_X509_num(carried); ++i) {
      X509* candidate = sk_X509_value(carried, i);
      if (candidate != current && X509_check_issued(candidate, current) == X509_V_OK) {
        next = candidate;
        break;
      }
    }
    current = next;
  }
  ossl::takeErrors();
  return chain;
}

// DER has one encoding per value; anything else was altered after signing.
bool reencodesTo(CMS_ContentInfo* cms, std::string_view der) {
  unsigned char* encoded = nullptr;
  int length = i2d_CMS_ContentInfo(cms, &encoded);
  bool same = length >= 0 && std::string_view(reinterpret_cast<const char*>(encoded),
                                              static_cast<std::size_t>(length)) == der;
  OPENSSL_free(encoded);
  return same;
}

// OpenSSL finds the signer by comparing names in canonical form (letter case
// and spacing folded), but the signer identifier is not signed: it must
// repeat the certificate's issuer name byte for byte.
bool signerIdIsExact(CMS_SignerInfo* signerInfo, X509* signer) {
  ASN1_OCTET_STRING* keyId = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (CMS_SignerInfo_get0_signer_id(signerInfo, &keyId, &issuer, &serial) != 1) return false;
  if (keyId) return CMS_SignerInfo_cert_cmp(signerInfo, signer) == 0;
  const unsigned char* named = nullptr;
  const unsigned char* actual = nullptr;
  std::size_t namedLength = 0, actualLength = 0;
  if (!issuer || !serial || X509_NAME_get0_der(issuer, &named, &namedLength) != 1 ||
      X509_NAME_get0_der(X509_get_issuer_name(signer), &actual, &actualLength) != 1) {
    return false;
  }
  return namedLength == actualLength && std::memcmp(named, actual, namedLength) == 0 &&
         ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(signer)) == 0;
}

// The signature algorithm field is not itself signed, and OpenSSL accepts
// several spellings for one key type; it must be the one the signer writes
// for an EC or RSA key (the key types signing supports).
bool signatureAlgorithmFits(CMS_SignerInfo* signerInfo, X509* signer) {
  X509_ALGOR* algorithm = nullptr;
  CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, nullptr, &algorithm);
  const EVP_PKEY* key = X509_get0_pubkey(signer);
  if (!algorithm || !key) return false;
  const ASN1_OBJECT* oid = nullptr;
  int parameterType = V_ASN1_UNDEF;
  X509_ALGOR_get0(&oid, &parameterType, nullptr, algorithm);
  int nid = OBJ_obj2nid(oid);
  if (EVP_PKEY_is_a(key, "EC")) {
    return nid == NID_ecdsa_with_SHA256 && parameterType == V_ASN1_UNDEF;
  }
  if (EVP_PKEY_is_a(key, "RSA")) return nid == NID_rsaEncryption && parameterType == V_ASN1_NULL;
  return false;
}

}  // namespace

Result<SigningInfo> verifySignedImage(const SignedImage& image, const TrustAnchor& anchor,
                                      const VerifyOptions& options) {
  auto payload = decodePayload(image.payload);
  if (!payload) return payload.error();
  if (payload->codeLength != image.codeLength || payload->codeHash != image.codeHash) {
    return refused("the code does not match its signature");
  }

  if (auto shape = checkCmsShape(image.cms); !shape) return shape.error();
  const auto* der = reinterpret_cast<const unsigned char*>(image.cms.data());
  const unsigned char* cursor = der;
  ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(image.cms.size())));
  if (!cms || cursor != der + image.cms.size() || !reencodesTo(cms.get(), image.cms)) {
    ossl::takeErrors();
    return refused("unparsable CMS");
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return refused("CMS is not SignedData");
  }
  if (CMS_is_detached(cms.get()) != 1) return refused("CMS carries its own content");
  if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    return refused("unexpected CMS content type");
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signerInfos) != 1) return refused("CMS must have exactly one signer");
  X509_ALGOR* digestAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, nullptr,
                           &digestAlgorithm, nullptr);
  const ASN1_OBJECT* digestOid = nullptr;
  if (digestAlgorithm) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlgorithm);
  if (!digestOid || OBJ_obj2nid(digestOid) != NID_sha256) {
    return refused("CMS digest is not SHA-256");
  }

  const TrustAnchor::State& state = anchor.state();
  ossl::X509StorePtr ownStore;
  X509_STORE* store = nullptr;
  switch (options.time) {
    case TimePolicy::kIgnoreValidity:
      store = state.peerStore.get();
      break;
    case TimePolicy::kCurrentTime:
      store = state.currentStore.get();
      break;
    case TimePolicy::kAtTime: {
      auto made = makeStore(state.cert.get(), options);
      if (!made) return made.error();
      ownStore = std::move(*made);
      store = ownStore.get();
      break;
    }
  }

  ossl::BioPtr content(
      BIO_new_mem_buf(image.payload.data(), static_cast<int>(image.payload.size())));
  if (!content) return ossl::error("cannot verify the signature");
  if (CMS_verify(cms.get(), nullptr, store, content.get(), nullptr, CMS_BINARY) != 1) {
    return ossl::error("invalid code signature");
  }
  ossl::X509ViewStackPtr signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1) {
    ossl::takeErrors();
    return refused("CMS must have exactly one signer");
  }
  X509* leaf = sk_X509_value(signers.get(), 0);
  CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, 0);
  if (!signatureAlgorithmFits(signerInfo, leaf)) {
    return refused("the signature algorithm does not fit the signer's key");
  }
  if (!signerIdIsExact(signerInfo, leaf)) {
    return refused("the signer is not named exactly as in its certificate");
  }
  auto team = teamOf(leaf);
  if (!team) return team.error();
  ossl::X509StackPtr carried(CMS_get1_certs(cms.get()));
  std::vector<X509*> chain = chainOf(leaf, carried.get(), state.cert.get());
  for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
    if (std::find(chain.begin(), chain.end(), sk_X509_value(carried.get(), i)) == chain.end()) {
      return refused("CMS carries a certificate outside the signer's chain");
    }
  }

  SigningInfo info;
  info.identifier = std::move(payload->identifier);
  info.teamIdentifier = std::move(*team);
  for (X509* cert : chain) info.chainSubjects.push_back(ossl::subjectLine(cert));
  info.codeHash = payload->codeHash;
  info.resourceSeal = payload->resourceSeal;
  ossl::takeErrors();
  return info;
}

Result<SignatureDescription> describeSignature(int fd) {
  auto image = readSignedImage(fd);
  if (!image) return image.error();
  auto payload = decodePayload(image->payload);
  if (!payload) return payload.error();
  SignatureDescription description;
  description.codeMatches =
      payload->codeLength == image->codeLength && payload->codeHash == image->codeHash;
  description.payload = std::move(*payload);

  const auto* der = reinterpret_cast<const unsigned char*>(image->cms.data());
  const unsigned char* cursor = der;
  ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(image->cms.size())));
  if (!cms || cursor != der + image->cms.size()) {
    ossl::takeErrors();
    return refused("unparsable CMS");
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  ossl::X509StackPtr carried(CMS_get1_certs(cms.get()));
  if (sk_CMS_SignerInfo_num(signerInfos) == 1 && carried) {
    CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, 0);
    for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
      X509* cert = sk_X509_value(carried.get(), i);
      if (CMS_SignerInfo_cert_cmp(signerInfo, cert) != 0) continue;
      if (auto team = teamOf(cert)) description.teamIdentifier = std::move(*team);
      for (X509* member : chainOf(cert, carried.get(), nullptr)) {
        description.chainSubjects.push_back(ossl::subjectLine(member));
      }
      break;
    }
  }
  ossl::takeErrors();
  return description;
}

Result<SignatureDescription> describeSignature(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errnoError("cannot open " + path, errno);
  return describeSignature(fd.get());
}

Result<SigningInfo> verifyExecutable(int fd, const TrustAnchor& anchor,
                                     const VerifyOptions& options) {
  auto image = readSignedImage(fd);
  if (!image) return image.error();
  return verifySignedImage(*image, anchor, options);
}

Result<SigningInfo> verifyExecutable(const std::string& path, const TrustAnchor& anchor,
                                     const VerifyOptions& options) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errnoError("cannot open " + path, errno);
  return verifyExecutable(fd.get(), anchor, options);
}

namespace {

// Words and double-quoted strings (no escapes) of a requirement text.
Result<std::vector<std::string>> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      ++i;
    } else if (c == '"') {
      std::size_t end = text.find('"', i + 1);
      if (end == std::string_view::npos) return Error{0, "unterminated string in requirement"};
      std::string_view inner = text.substr(i + 1, end - i - 1);
      if (inner.find('\\') != std::string_view::npos) {
        return Error{0, "escapes are not supported in requirements"};
      }
      tokens.push_back("\"" + std::string(inner));
      i = end + 1;
    } else {
      std::size_t end = text.find_first_of(" \t\n\"", i);
      if (end == std::string_view::npos) end = text.size();
      tokens.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  return tokens;
}

}  // namespace

Result<CodeRequirement> parseRequirement(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return tokens.error();
  const std::vector<std::string>& t = *tokens;
  CodeRequirement requirement;
  bool anchored = false;
  auto fail = [&](const std::string& why) {
    return Error{0, "cannot compile requirement \"" + std::string(text) + "\": " + why};
  };
  auto value = [](const std::string& token) -> std::optional<std::string> {
    if (token.empty() || token[0] != '"') return std::nullopt;
    return token.substr(1);
  };
  std::size_t i = 0;
  while (true) {
    std::size_t left = t.size() - i;
    if (left >= 3 && t[i] == "anchor" && t[i + 1] == "apple" && t[i + 2] == "generic") {
      if (anchored) return fail("repeated anchor clause");
      anchored = true;
      i += 3;
    } else if (left >= 2 && t[i] == "identifier") {
      std::size_t at = i + 1;
      if (t[at] == "=") ++at;
      std::optional<std::string> id;
      if (at < t.size()) {
        id = value(t[at]);
        if (!id && t[at] != "and") id = t[at];
      }
      if (!id || requirement.identifier) return fail("bad identifier clause");
      requirement.identifier = std::move(id);
      i = at + 1;
    } else if (left >= 4 && t[i] == "certificate" && t[i + 1] == "leaf[subject.OU]" &&
               t[i + 2] == "=" && value(t[i + 3])) {
      if (requirement.teamIdentifier) return fail("repeated team clause");
      requirement.teamIdentifier = value(t[i + 3]);
      i += 4;
    } else {
      return fail("unknown clause");
    }
    if (i == t.size()) break;
    if (t[i] != "and" || i + 1 == t.size()) return fail("clauses are joined by \"and\"");
    ++i;
  }
  // Code is only ever judged under the compiled anchor; a requirement
  // without it would promise something this build does not check.
  if (!anchored) return fail("missing \"anchor apple generic\"");
  return requirement;
}

Status checkRequirement(const SigningInfo& info, const CodeRequirement& requirement) {
  if (requirement.identifier && info.identifier != *requirement.identifier) {
    return Error{0, "signing identifier \"" + info.identifier + "\" is not \"" +
                        *requirement.identifier + "\""};
  }
  if (requirement.teamIdentifier && info.teamIdentifier != requirement.teamIdentifier) {
    return Error{0, "team identifier \"" + info.teamIdentifier.value_or("") + "\" is not \"" +
                        *requirement.teamIdentifier + "\""};
  }
  return Ok{};
}

Result<SigningInfo> verifyBundle(const std::string& bundlePath, const CodeRequirement& requirement,
                                 const TrustAnchor& anchor, const VerifyOptions& options) {
  auto layout = readBundleLayout(bundlePath);
  if (!layout) return layout.error();
  UniqueFd fd(::open(layout->executable.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return errnoError("cannot open " + layout->executable, errno);
  auto info = verifyExecutable(fd.get(), anchor, options);
  if (!info) return info.error();
  if (auto met = checkRequirement(*info, requirement); !met) return met.error();
  if (!info->resourceSeal) return refused("the main executable carries no resource seal");

  auto seal = computeResourceSeal(*layout);
  if (!seal) return seal.error();
  if (seal->digest != *info->resourceSeal) {
    return refused("the bundle's files do not match its resource seal");
  }
  CodeRequirement nested{std::nullopt, info->teamIdentifier};
  for (const SealEntry& entry : seal->entries) {
    if (!entry.carriesSignature) continue;
    std::string path = layout->root + "/" + entry.path;
    UniqueFd nestedFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
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

}  // namespace zefra::platform

#include "codesign/verify.h"

#include <fcntl.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "codesign/cms_shape.h"

namespace zefra::codesign {

Error refusal(const std::string& why) {
  return Error{0, "invalid code signature: " + why};
}

namespace {

Result<std::optional<std::string>> teamOf(X509* leaf) {
  const X509_NAME* name = X509_get_subject_name(leaf);
  std::optional<std::string> team;
  for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, i)) >= 0;) {
    if (team) return refusal("the signing certificate names more than one team");
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
      if (length < 0) return refusal("unreadable team identifier");
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

Result<SigningInfo> verifySignatureBlock(const SignatureBlock& image, const TrustAnchor& anchor,
                                         const VerifyOptions& options) {
  auto payload = decodePayload(image.payload);
  if (!payload) return payload.error();
  if (payload->codeLength != image.codeLength) {
    return refusal("the code does not match its signature");
  }

  if (auto shape = checkCmsShape(image.cms); !shape) return shape.error();
  const auto* der = reinterpret_cast<const unsigned char*>(image.cms.data());
  const unsigned char* cursor = der;
  ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(image.cms.size())));
  if (!cms || cursor != der + image.cms.size() || !reencodesTo(cms.get(), image.cms)) {
    ossl::takeErrors();
    return refusal("unparsable CMS");
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return refusal("CMS is not SignedData");
  }
  if (CMS_is_detached(cms.get()) != 1) return refusal("CMS carries its own content");
  if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    return refusal("unexpected CMS content type");
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  if (sk_CMS_SignerInfo_num(signerInfos) != 1) return refusal("CMS must have exactly one signer");
  X509_ALGOR* digestAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, nullptr,
                           &digestAlgorithm, nullptr);
  const ASN1_OBJECT* digestOid = nullptr;
  if (digestAlgorithm) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digestAlgorithm);
  if (!digestOid || OBJ_obj2nid(digestOid) != NID_sha256) {
    return refusal("CMS digest is not SHA-256");
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
      auto made = makeTrustStore(state.cert.get(), options);
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
    return refusal("CMS must have exactly one signer");
  }
  X509* leaf = sk_X509_value(signers.get(), 0);
  CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(signerInfos, 0);
  if (!signatureAlgorithmFits(signerInfo, leaf)) {
    return refusal("the signature algorithm does not fit the signer's key");
  }
  if (!signerIdIsExact(signerInfo, leaf)) {
    return refusal("the signer is not named exactly as in its certificate");
  }
  auto team = teamOf(leaf);
  if (!team) return team.error();
  ossl::X509StackPtr carried(CMS_get1_certs(cms.get()));
  std::vector<X509*> chain = chainOf(leaf, carried.get(), state.cert.get());
  for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
    if (std::find(chain.begin(), chain.end(), sk_X509_value(carried.get(), i)) == chain.end()) {
      return refusal("CMS carries a certificate outside the signer's chain");
    }
  }

  SigningInfo info;
  info.identifier = std::move(payload->identifier);
  info.teamIdentifier = std::move(*team);
  for (X509* cert : chain) info.chainSubjects.push_back(ossl::subjectLine(cert));
  info.codeLength = payload->codeLength;
  info.codeHash = payload->codeHash;
  info.resourceSeal = payload->resourceSeal;
  ossl::takeErrors();
  return info;
}

Result<SigningInfo> verifySignedImage(const SignedImage& image, const TrustAnchor& anchor,
                                      const VerifyOptions& options) {
  auto info = verifySignatureBlock(image, anchor, options);
  if (!info) return info;
  if (info->codeHash != image.codeHash) return refusal("the code does not match its signature");
  return info;
}

Status checkCode(int fd, const SigningInfo& info) {
  auto hash = ossl::sha256OfFd(fd, info.codeLength);
  if (!hash) return hash.error();
  if (*hash != info.codeHash) return refusal("the code does not match its signature");
  return Ok{};
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
    return refusal("unparsable CMS");
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
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return errnoError("cannot open " + path, errno);
  return describeSignature(fd.get());
}

Result<SigningInfo> verifyExecutable(int fd, const TrustAnchor& anchor,
                                     const VerifyOptions& options) {
  // The signature first: a bad one is refused without reading the code.
  auto block = readSignatureBlock(fd);
  if (!block) return block.error();
  auto info = verifySignatureBlock(*block, anchor, options);
  if (!info) return info;
  if (Status code = checkCode(fd, *info); !code) return code.error();
  return info;
}

Result<SigningInfo> verifyExecutable(const std::string& path, const TrustAnchor& anchor,
                                     const VerifyOptions& options) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return errnoError("cannot open " + path, errno);
  return verifyExecutable(fd.get(), anchor, options);
}

}  // namespace zefra::codesign

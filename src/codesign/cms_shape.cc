#include "codesign/cms_shape.h"

#include <cstdint>
#include <string>

namespace zefra::codesign {
namespace {

constexpr std::uint8_t kInteger = 0x02, kOctetString = 0x04, kNull = 0x05, kOid = 0x06,
                       kSequence = 0x30, kSet = 0x31, kContext0 = 0xa0, kContext1 = 0xa1,
                       kContext0Primitive = 0x80;

// DER OID bodies.
constexpr std::string_view kSignedDataOid("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 9);
constexpr std::string_view kDataOid("\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01", 9);
constexpr std::string_view kSha256Oid("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);

struct Tlv {
  std::uint8_t tag = 0;
  std::string_view value;
};

// Reads one element off the front of `in`: single-byte tags, definite
// minimal lengths only.
bool next(std::string_view& in, Tlv& out) {
  if (in.size() < 2) return false;
  out.tag = static_cast<std::uint8_t>(in[0]);
  if ((out.tag & 0x1f) == 0x1f) return false;
  std::size_t length = static_cast<std::uint8_t>(in[1]);
  std::size_t header = 2;
  if (length & 0x80) {
    std::size_t count = length & 0x7f;
    if (count == 0 || count > 4 || in.size() < 2 + count) return false;
    if (in[2] == 0) return false;  // not minimal
    length = 0;
    for (std::size_t i = 0; i < count; ++i)
      length = (length << 8) | static_cast<std::uint8_t>(in[2 + i]);
    if (length < 0x80) return false;  // short form was required
    header += count;
  }
  if (in.size() - header < length) return false;
  out.value = in.substr(header, length);
  in.remove_prefix(header + length);
  return true;
}

bool expect(std::string_view& in, std::uint8_t tag, Tlv& out) {
  return next(in, out) && out.tag == tag;
}

bool isSmallInteger(const Tlv& tlv, std::uint8_t value) {
  return tlv.tag == kInteger && tlv.value.size() == 1 &&
         static_cast<std::uint8_t>(tlv.value[0]) == value;
}

// AlgorithmIdentifier { sha256 } with absent or NULL parameters.
bool isSha256(std::string_view algorithm) {
  Tlv oid, params;
  if (!expect(algorithm, kOid, oid) || oid.value != kSha256Oid) return false;
  if (algorithm.empty()) return true;
  return expect(algorithm, kNull, params) && params.value.empty() && algorithm.empty();
}

Error misshapen(const std::string& why) {
  return Error{0, "invalid code signature: CMS " + why};
}

Status checkSignerInfo(std::string_view signerInfo) {
  Tlv version, sid, digest, attrs, sigAlg, signature;
  if (!expect(signerInfo, kInteger, version)) return misshapen("signer has no version");
  if (!next(signerInfo, sid)) return misshapen("signer has no identifier");
  bool byIssuer = sid.tag == kSequence && isSmallInteger(version, 1);
  bool byKeyId = sid.tag == kContext0Primitive && isSmallInteger(version, 3);
  if (!byIssuer && !byKeyId) return misshapen("signer version does not fit its identifier");
  if (!expect(signerInfo, kSequence, digest) || !isSha256(digest.value)) {
    return misshapen("signer digest is not SHA-256");
  }
  if (!expect(signerInfo, kContext0, attrs)) return misshapen("signer has no signed attributes");
  if (!expect(signerInfo, kSequence, sigAlg) || !expect(signerInfo, kOctetString, signature)) {
    return misshapen("signer has no signature");
  }
  if (!signerInfo.empty()) return misshapen("signer carries unsigned attributes");
  return Ok{};
}

}  // namespace

Status checkCmsShape(std::string_view der) {
  Tlv contentInfo, type, explicitSignedData, signedData;
  std::string_view in = der;
  if (!expect(in, kSequence, contentInfo) || !in.empty())
    return misshapen("is not one DER element");
  std::string_view ci = contentInfo.value;
  if (!expect(ci, kOid, type) || type.value != kSignedDataOid)
    return misshapen("is not SignedData");
  if (!expect(ci, kContext0, explicitSignedData) || !ci.empty()) return misshapen("is malformed");
  std::string_view sdOuter = explicitSignedData.value;
  if (!expect(sdOuter, kSequence, signedData) || !sdOuter.empty()) return misshapen("is malformed");

  std::string_view sd = signedData.value;
  Tlv version, digests, encap, element;
  if (!expect(sd, kInteger, version) || !isSmallInteger(version, 1)) {
    return misshapen("version is not 1");
  }
  if (!expect(sd, kSet, digests)) return misshapen("has no digest list");
  std::string_view digestList = digests.value;
  Tlv digest;
  if (!expect(digestList, kSequence, digest) || !isSha256(digest.value) || !digestList.empty()) {
    return misshapen("digest list is not exactly SHA-256");
  }
  if (!expect(sd, kSequence, encap)) return misshapen("has no content info");
  std::string_view encapValue = encap.value;
  Tlv encapType;
  if (!expect(encapValue, kOid, encapType) || encapType.value != kDataOid) {
    return misshapen("content is not data");
  }
  if (!encapValue.empty()) return misshapen("carries its own content");
  if (!next(sd, element)) return misshapen("has no signers");
  if (element.tag == kContext0 && !next(sd, element)) return misshapen("has no signers");
  if (element.tag == kContext1) return misshapen("carries revocation lists");
  if (element.tag != kSet || !sd.empty()) return misshapen("is malformed");
  std::string_view signers = element.value;
  Tlv signerInfo;
  if (!expect(signers, kSequence, signerInfo) || !signers.empty()) {
    return misshapen("must have exactly one signer");
  }
  return checkSignerInfo(signerInfo.value);
}

}  // namespace zefra::codesign

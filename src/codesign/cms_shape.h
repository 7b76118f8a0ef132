#pragma once

#include <string_view>

#include "base/result.h"

namespace zefra::codesign {

using base::Error;
using base::Ok;
using base::Status;

// CMS leaves some fields outside what the signature covers (the versions,
// the outer digest list, certificates, unsigned attributes). A signature
// block must not verify after any byte of it changed, so the CMS must have
// exactly the shape the signer writes, in DER:
//
//   ContentInfo { signedData, [0] SignedData {
//     version 1,
//     digestAlgorithms { sha256 },
//     encapContentInfo { data } (no content: detached),
//     [0] certificates (checked by the chain rules),
//     no [1] crls,
//     signerInfos { one SignerInfo {
//       version 1 with issuerAndSerialNumber, or 3 with subjectKeyIdentifier,
//       digestAlgorithm, [0] signedAttrs (required), signatureAlgorithm,
//       signature, no [1] unsignedAttrs } } } }
//
// Lengths must be definite and minimal, and nothing may follow.
Status checkCmsShape(std::string_view der);

}  // namespace zefra::codesign

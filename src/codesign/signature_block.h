#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "codesign/openssl_util.h"

// The code signature block appended to an ELF executable. The loader ignores
// bytes after the last segment, so the block rides along with the file:
//
//   [ code     ]  the executable as linked; covered by the payload's hash
//   [ payload  ]  what is signed (below)
//   [ cms      ]  DER CMS SignedData, detached, SHA-256, over the payload,
//                 with the signer's certificate and intermediates
//   [ trailer  ]  32 bytes, integers big-endian:
//                   u32 payload length
//                   u32 cms length
//                   u32 block format version (1)
//                   u32 reserved, zero
//                   16 bytes magic "~ZefraSignature~"
//
// Payload, format 1 (integers big-endian, nothing after the identifier):
//   8 bytes  tag "ZEFRA-CS" (keeps these statements apart from anything
//            else the same key might sign)
//   u16      payload version (1)
//   u16      flags: bit 0 = a resource seal digest follows the code digest
//   u64      code length (bytes before the block)
//   32 bytes SHA-256 of the code
//   32 bytes SHA-256 of the bundle's resource seal (only with flag bit 0)
//   u16      identifier length, then the identifier
//
// Every field is checked when parsing; a block that does not parse is a
// refusal, never "unsigned".
namespace zefra::codesign {

using ossl::Sha256;

inline constexpr std::string_view kSignatureMagic = "~ZefraSignature~";
inline constexpr std::size_t kTrailerSize = 32;
inline constexpr std::uint32_t kBlockVersion = 1;
inline constexpr std::uint16_t kPayloadVersion = 1;
inline constexpr std::uint32_t kMaxPayloadSize = 4096;
inline constexpr std::uint32_t kMaxCmsSize = 1024 * 1024;

struct SignedPayload {
  std::string identifier;
  std::uint64_t codeLength = 0;
  Sha256 codeHash{};
  std::optional<Sha256> resourceSeal;
};

// Identifiers are reverse-DNS style: 1 to 255 of [A-Za-z0-9.-_].
Status validateIdentifier(std::string_view identifier);

std::string encodePayload(const SignedPayload& payload);
Result<SignedPayload> decodePayload(std::string_view bytes);

// payload + cms + trailer.
std::string buildBlock(std::string_view payload, std::string_view cms);

struct BlockExtent {
  std::uint64_t codeLength = 0;
  std::uint32_t payloadLength = 0;
  std::uint32_t cmsLength = 0;
};

// Reads the trailer from the last bytes of a file of `fileSize` bytes.
// nullopt: no magic at the end, the file carries no block. Error: a magic
// whose block does not fit.
Result<std::optional<BlockExtent>> parseTrailer(std::string_view lastBytes, std::uint64_t fileSize);

// The block of an open file; nullopt when it carries none.
Result<std::optional<BlockExtent>> locateBlock(int fd);

// The block of a signed file, read without touching its code: enough to
// refuse a bad signature before a byte of code is hashed.
struct SignatureBlock {
  std::uint64_t fileSize = 0;
  std::uint64_t codeLength = 0;
  std::string payload;
  std::string cms;
};
Result<SignatureBlock> readSignatureBlock(int fd);

// The block and the hash of the code before it.
struct SignedImage : SignatureBlock {
  Sha256 codeHash{};
};
Result<SignedImage> readSignedImage(int fd);

// True when the file ends in the block magic (signed, or claims to be).
bool hasSignatureMagic(int fd);

}  // namespace zefra::codesign

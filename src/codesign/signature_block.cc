#include "codesign/signature_block.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "codesign/big_endian.h"
#include "platform/files/small_file.h"

namespace zefra::codesign {
namespace {

constexpr std::string_view kPayloadTag = "ZEFRA-CS";
constexpr std::uint16_t kFlagResourceSeal = 1;

Error refused(const std::string& why) {
  return Error{0, "invalid code signature: " + why};
}

Result<std::uint64_t> fileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errnoError("cannot inspect the executable", errno);
  if (!S_ISREG(st.st_mode)) return Error{0, "not a regular file"};
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

Status validateIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > 255) {
    return Error{0, "a signing identifier has 1 to 255 characters"};
  }
  for (char c : identifier) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-' || c == '_';
    if (!allowed) return Error{0, "a signing identifier uses only letters, digits, '.', '-', '_'"};
  }
  return Ok{};
}

std::string encodePayload(const SignedPayload& payload) {
  std::string out(kPayloadTag);
  putBig(out, kPayloadVersion, 2);
  putBig(out, payload.resourceSeal ? kFlagResourceSeal : 0, 2);
  putBig(out, payload.codeLength, 8);
  out.append(reinterpret_cast<const char*>(payload.codeHash.data()), payload.codeHash.size());
  if (payload.resourceSeal) {
    out.append(reinterpret_cast<const char*>(payload.resourceSeal->data()),
               payload.resourceSeal->size());
  }
  putBig(out, payload.identifier.size(), 2);
  out += payload.identifier;
  return out;
}

Result<SignedPayload> decodePayload(std::string_view bytes) {
  constexpr std::size_t kFixed = 8 + 2 + 2 + 8 + 32;
  if (bytes.size() < kFixed + 2 || bytes.substr(0, 8) != kPayloadTag) {
    return refused("malformed payload");
  }
  if (getBig(bytes, 8, 2) != kPayloadVersion) return refused("unknown payload version");
  std::uint64_t flags = getBig(bytes, 10, 2);
  if (flags & ~std::uint64_t{kFlagResourceSeal}) return refused("unknown payload flags");
  SignedPayload payload;
  payload.codeLength = getBig(bytes, 12, 8);
  std::size_t at = 20;
  std::copy_n(bytes.begin() + at, 32, payload.codeHash.begin());
  at += 32;
  if (flags & kFlagResourceSeal) {
    if (bytes.size() < at + 32 + 2) return refused("malformed payload");
    Sha256 seal{};
    std::copy_n(bytes.begin() + at, 32, seal.begin());
    payload.resourceSeal = seal;
    at += 32;
  }
  std::size_t idLength = getBig(bytes, at, 2);
  at += 2;
  if (bytes.size() != at + idLength) return refused("malformed payload");
  payload.identifier.assign(bytes.substr(at, idLength));
  if (!validateIdentifier(payload.identifier)) return refused("malformed identifier");
  return payload;
}

std::string buildBlock(std::string_view payload, std::string_view cms) {
  std::string out;
  out.reserve(payload.size() + cms.size() + kTrailerSize);
  out.append(payload);
  out.append(cms);
  putBig(out, payload.size(), 4);
  putBig(out, cms.size(), 4);
  putBig(out, kBlockVersion, 4);
  putBig(out, 0, 4);
  out.append(kSignatureMagic);
  return out;
}

Result<std::optional<BlockExtent>> parseTrailer(std::string_view lastBytes,
                                                std::uint64_t fileSize) {
  if (lastBytes.size() < kSignatureMagic.size() ||
      lastBytes.substr(lastBytes.size() - kSignatureMagic.size()) != kSignatureMagic) {
    return std::optional<BlockExtent>();
  }
  if (lastBytes.size() != kTrailerSize || fileSize < kTrailerSize) {
    return refused("truncated trailer");
  }
  BlockExtent extent;
  extent.payloadLength = static_cast<std::uint32_t>(getBig(lastBytes, 0, 4));
  extent.cmsLength = static_cast<std::uint32_t>(getBig(lastBytes, 4, 4));
  if (getBig(lastBytes, 8, 4) != kBlockVersion) return refused("unknown block version");
  if (getBig(lastBytes, 12, 4) != 0) return refused("reserved trailer field is set");
  if (extent.payloadLength == 0 || extent.payloadLength > kMaxPayloadSize) {
    return refused("payload length out of range");
  }
  if (extent.cmsLength == 0 || extent.cmsLength > kMaxCmsSize) {
    return refused("CMS length out of range");
  }
  std::uint64_t block = std::uint64_t{extent.payloadLength} + extent.cmsLength + kTrailerSize;
  if (block > fileSize) return refused("block is larger than the file");
  extent.codeLength = fileSize - block;
  return std::optional<BlockExtent>(extent);
}

namespace {

Result<std::optional<BlockExtent>> locateIn(int fd, std::uint64_t size) {
  if (size < kSignatureMagic.size()) return std::optional<BlockExtent>();
  std::string tail(std::min<std::uint64_t>(size, kTrailerSize), '\0');
  if (auto read = platform::readAt(fd, tail, size - tail.size()); !read) {
    return read.error();
  }
  return parseTrailer(tail, size);
}

}  // namespace

Result<std::optional<BlockExtent>> locateBlock(int fd) {
  auto size = fileSize(fd);
  if (!size) return size.error();
  return locateIn(fd, *size);
}

Result<SignatureBlock> readSignatureBlock(int fd) {
  auto size = fileSize(fd);
  if (!size) return size.error();
  auto located = locateIn(fd, *size);
  if (!located) return located.error();
  if (!*located) return Error{0, "code is not signed"};
  const BlockExtent& extent = **located;

  SignatureBlock block;
  block.fileSize = *size;
  block.codeLength = extent.codeLength;
  std::string bytes(std::size_t{extent.payloadLength} + extent.cmsLength, '\0');
  if (auto read = platform::readAt(fd, bytes, extent.codeLength); !read) {
    return read.error();
  }
  block.payload = bytes.substr(0, extent.payloadLength);
  block.cms = bytes.substr(extent.payloadLength);
  return block;
}

Result<SignedImage> readSignedImage(int fd) {
  auto block = readSignatureBlock(fd);
  if (!block) return block.error();
  auto hash = ossl::sha256OfFd(fd, block->codeLength);
  if (!hash) return hash.error();
  SignedImage image;
  static_cast<SignatureBlock&>(image) = std::move(block).value();
  image.codeHash = *hash;
  return image;
}

bool hasSignatureMagic(int fd) {
  auto size = fileSize(fd);
  if (!size || *size < kSignatureMagic.size()) return false;
  std::string tail(kSignatureMagic.size(), '\0');
  return platform::readAt(fd, tail, *size - tail.size()).ok() && tail == kSignatureMagic;
}

}  // namespace zefra::codesign

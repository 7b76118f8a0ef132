// Feeds arbitrary files to the signature reader: the trailer, the block's
// extent, the payload and the CMS shape, then the whole verification a peer
// check runs, against the anchor the seeds were signed under (so the seeds
// reach the chain and digest checks). Whatever payload decodes must encode to
// the same bytes: the format has one encoding.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codesign/cms_shape.h"
#include "codesign/signature_block.h"
#include "codesign/verify.h"
#include "base/unique_fd.h"

namespace {

using namespace zefra;
using namespace zefra::codesign;

void checkPayload(std::string_view bytes) {
  Result<SignedPayload> payload = decodePayload(bytes);
  if (payload && encodePayload(*payload) != bytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Result<TrustAnchor>& anchor = TrustAnchor::compiled();
  if (!anchor) __builtin_trap();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (size >= kTrailerSize) {
    Result<std::optional<BlockExtent>> extent =
        parseTrailer(bytes.substr(size - kTrailerSize), size);
    if (extent && *extent) {
      const BlockExtent& block = **extent;
      if (block.codeLength + block.payloadLength + block.cmsLength + kTrailerSize != size) {
        __builtin_trap();
      }
      checkPayload(bytes.substr(block.codeLength, block.payloadLength));
      (void)checkCmsShape(bytes.substr(block.codeLength + block.payloadLength, block.cmsLength));
    }
  }

  // The file paths read through a descriptor, as for a peer's image.
  UniqueFd fd(::memfd_create("image", MFD_CLOEXEC));
  if (!fd) __builtin_trap();
  for (std::size_t at = 0; at < size;) {
    ssize_t n = ::write(fd.get(), data + at, size - at);
    if (n <= 0) __builtin_trap();
    at += static_cast<std::size_t>(n);
  }
  (void)hasSignatureMagic(fd.get());
  Result<SignedImage> image = readSignedImage(fd.get());
  if (image) {
    checkPayload(image->payload);
    (void)verifySignedImage(*image, anchor.value(), VerifyOptions::forPeers());
  }
  (void)verifyExecutable(fd.get(), anchor.value(), VerifyOptions::forPeers());
  (void)describeSignature(fd.get());
  return 0;
}

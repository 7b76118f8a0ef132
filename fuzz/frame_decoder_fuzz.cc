// Feeds arbitrary bytes to the helper's read path: frame splitting, message
// decoding, the call envelope and the interface's class checks, then the
// typed readers. Whatever decodes must encode again to the same values.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "wire/codec.h"
#include "wire/frame.h"
#include "wire/message.h"
#include "xpc/interface.h"
#include "xpc/run_options_wire.h"
#include "xpc/wire_types.h"

namespace {

using namespace zefra;
using wire::IpcValue;

std::string flatten(const wire::EncodedMessage& message) {
  std::string out;
  for (const iovec& chunk : message.chunks()) {
    out.append(static_cast<const char*>(chunk.iov_base), chunk.iov_len);
  }
  return out;
}

void checkReencodes(const std::vector<IpcValue>& values) {
  base::Result<wire::EncodedMessage> encoded = wire::encodeMessage(values);
  if (!encoded) __builtin_trap();
  auto bytes = std::make_shared<std::string>(flatten(*encoded));
  base::Result<std::vector<IpcValue>> again =
      wire::decodeMessage(bytes, bytes->data(), bytes->size());
  if (!again || *again != values) __builtin_trap();
}

void readTyped(const wire::IpcCall& call) {
  for (const IpcValue& argument : call.arguments) {
    (void)xpc::readString(argument);
    (void)xpc::readStringList(argument);
    (void)xpc::readOptionalData(argument);
    (void)xpc::readStringMap(argument);
    (void)xpc::readInventory(argument);
    (void)xpc::readRunOptions(argument);
    (void)xpc::readRunOutcome(argument);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::shared_ptr<xpc::Interface> interface = xpc::makeHelperInterface();
  if (size == 0) return 0;
  // The first byte sets the read size, so frames straddle reads every way.
  const std::size_t step = 1 + data[0] % 97;
  ++data;
  --size;

  wire::FrameReader reader(wire::kMaxCallFrameSize);
  std::size_t at = 0;
  while (at < size) {
    std::span<char> space = reader.readSpace();
    const std::size_t n = std::min({step, space.size(), size - at});
    std::memcpy(space.data(), data + at, n);
    reader.commit(n);
    at += n;
    for (;;) {
      base::Result<std::optional<wire::FrameBody>> body = reader.next();
      if (!body) return 0;  // the connection would close here
      if (!*body) break;
      base::Result<std::vector<IpcValue>> message = wire::decodeFrameBody(**body);
      if (!message) return 0;
      checkReencodes(*message);
      base::Result<wire::IpcCall> call = wire::parseCall(*message, *interface);
      if (!call) return 0;
      readTyped(*call);
    }
  }
  return 0;
}

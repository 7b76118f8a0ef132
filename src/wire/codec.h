#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "wire/value.h"

namespace zefra::wire {

// Containers nest at most this deep, the message array included.
inline constexpr int kIpcMaxDepth = 8;

// What decoding may cost is set by the body's own size. Every value takes at
// least one byte, so a body never holds more values than bytes; beyond the
// first kFreeValues, each value must also be paid for with kBytesPerValue
// bytes of body. A decoded value takes about 100 bytes, so whatever the body,
// its values take at most about 3 times its size plus 6 MiB.
inline constexpr std::size_t kFreeValues = 1 << 16;
inline constexpr std::size_t kBytesPerValue = 32;
// The number of values, containers and the message array included, that a
// body of `bodySize` bytes may hold.
std::size_t maxDecodedValues(std::size_t bodySize);

// One message body: a MessagePack array of values, as a list of chunks. Large
// strings and data are referenced, not copied, and kept alive here until the
// message is dropped. `headerRoom` bytes are reserved in front of the body for
// the frame header.
class EncodedMessage {
 public:
  EncodedMessage();
  EncodedMessage(EncodedMessage&&) noexcept;
  EncodedMessage& operator=(EncodedMessage&&) noexcept;
  ~EncodedMessage();

  // The chunks, header room included.
  std::span<const iovec> chunks() const;
  std::size_t size() const { return size_; }
  // The reserved room in front of the body (the first bytes of chunk 0).
  char* headerRoom();

 private:
  friend Result<EncodedMessage> encodeMessage(std::vector<IpcValue> values, std::size_t headerRoom);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::size_t size_ = 0;
};

// Refuses invalid UTF-8 and strings or data of 4 GiB or more.
Result<EncodedMessage> encodeMessage(std::vector<IpcValue> values, std::size_t headerRoom = 0);

// Decodes a message body: exactly one MessagePack array filling [data, size).
// Strings and data view into the storage that `owner` keeps alive. Refused:
// anything else than one array, trailing bytes, invalid UTF-8, extensions,
// integers beyond 64 signed bits, nil inside a collection, map keys that are
// not scalars or are floats, duplicate keys, nesting deeper than kIpcMaxDepth, and
// containers announcing more values than maxDecodedValues() allows (counted
// first, so such a body is refused before any value of it is built).
Result<std::vector<IpcValue>> decodeMessage(std::shared_ptr<const void> owner, const char* data,
                                            std::size_t size);

}  // namespace zefra::wire

#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "platform/result.h"

namespace zefra::platform {

struct IpcMapEntry;

// One value on the wire. Strings and data may view into a received frame, so
// a large input or output crosses the socket without being copied.
class IpcValue {
 public:
  enum class Kind { kNil, kBool, kInt, kString, kData, kArray, kMap };
  using Array = std::vector<IpcValue>;
  using Map = std::vector<IpcMapEntry>;

  IpcValue() = default;  // nil
  static IpcValue boolean(bool value);
  static IpcValue integer(std::int64_t value);
  // The text is checked when the value is encoded: only UTF-8 goes out.
  static IpcValue string(std::string text);
  static IpcValue string(Bytes utf8);
  static IpcValue data(Bytes bytes);
  static IpcValue array(Array elements);
  static IpcValue map(Map entries);

  Kind kind() const { return kind_; }
  bool isNil() const { return kind_ == Kind::kNil; }
  bool asBool() const { return scalar_ != 0; }
  std::int64_t asInt() const { return scalar_; }
  std::string_view asString() const { return bytes_.view(); }
  // The bytes of a string or of data.
  const Bytes& bytes() const { return bytes_; }
  const Array& elements() const { return elements_; }
  const Map& entries() const { return entries_; }

  friend bool operator==(const IpcValue& a, const IpcValue& b);

 private:
  explicit IpcValue(Kind kind);
  // Plain members rather than a variant: GCC 12 misreads nested variants
  // under the sanitizers, and the unused members cost little.
  Kind kind_ = Kind::kNil;
  std::int64_t scalar_ = 0;
  Bytes bytes_;
  Array elements_;
  Map entries_;
};

struct IpcMapEntry {
  IpcValue key;
  IpcValue value;
  friend bool operator==(const IpcMapEntry&, const IpcMapEntry&) = default;
};

// The error of a message that breaks the wire format.
Error ipcViolation(const std::string& detail);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);
// Each ill-formed byte becomes U+FFFD; valid text comes back unchanged.
std::string repairUtf8(std::string_view text);

// Containers nest at most this deep, the message array included.
inline constexpr int kIpcMaxDepth = 8;

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
// anything else than one array, trailing bytes, invalid UTF-8, floats and
// extensions, integers beyond 64 signed bits, nil inside a collection, map keys
// that are not scalars, duplicate keys, nesting deeper than kIpcMaxDepth.
Result<std::vector<IpcValue>> decodeMessage(std::shared_ptr<const void> owner, const char* data,
                                            std::size_t size);

}  // namespace zefra::platform

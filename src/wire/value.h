#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"

namespace zefra::wire {

using base::Bytes;
using base::Error;
using base::Ok;
using base::Result;
using base::Status;

struct IpcMapEntry;

// One value on the wire. Strings and data may view into a received frame, so
// a large input or output crosses the socket without being copied.
class IpcValue {
 public:
  enum class Kind { kNil, kBool, kInt, kString, kData, kArray, kMap, kReal };
  using Array = std::vector<IpcValue>;
  using Map = std::vector<IpcMapEntry>;

  IpcValue() = default;  // nil
  static IpcValue boolean(bool value);
  static IpcValue integer(std::int64_t value);
  // A 64-bit float, kept bit for bit (a NaN equals itself).
  static IpcValue real(double value);
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
  double asReal() const { return std::bit_cast<double>(scalar_); }
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
Error ipcViolation(const std::string& detail, base::ErrorKind kind = base::ErrorKind::kOther);

}  // namespace zefra::wire

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Integers as the signature block and the seal store them: big-endian, in
// a given number of bytes.
namespace zefra::codesign {

inline void putBig(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// `in` holds at least `at + bytes` bytes.
inline std::uint64_t getBig(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | static_cast<std::uint8_t>(in[at + i]);
  return value;
}

}  // namespace zefra::codesign

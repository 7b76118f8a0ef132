#include "base/utf8.h"

#include <cstring>

namespace zefra::base {

namespace {

bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the well-formed sequence at `p`, 0 when it is ill-formed.
std::size_t sequenceLength(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  if (c < 0xC2) return 0;  // stray continuation, or an overlong two-byte form
  if (c < 0xE0) return left >= 2 && isContinuation(p[1]) ? 2 : 0;
  if (c < 0xF0) {
    if (left < 3) return 0;
    const unsigned char low = c == 0xE0 ? 0xA0 : 0x80;   // overlong
    const unsigned char high = c == 0xED ? 0x9F : 0xBF;  // surrogates
    return p[1] >= low && p[1] <= high && isContinuation(p[2]) ? 3 : 0;
  }
  if (c < 0xF5) {
    if (left < 4) return 0;
    const unsigned char low = c == 0xF0 ? 0x90 : 0x80;   // overlong
    const unsigned char high = c == 0xF4 ? 0x8F : 0xBF;  // above U+10FFFF
    return p[1] >= low && p[1] <= high && isContinuation(p[2]) && isContinuation(p[3]) ? 4 : 0;
  }
  return 0;
}

bool isAsciiWord(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    while (i + 8 <= n && isAsciiWord(p + i)) i += 8;
    if (i == n) break;
    const std::size_t length = sequenceLength(p + i, n - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string repairUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequenceLength(p + i, text.size() - i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.data() + i, length);
      i += length;
    }
  }
  return out;
}

}  // namespace zefra::base

#include "base/random.h"

#include <sys/random.h>

#include <cstdio>

namespace zefra::base {

std::string randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

std::string randomUuid() {
  const std::string random = randomBytes(16);
  unsigned char bytes[16];
  for (std::size_t i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(random[i]);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace zefra::base

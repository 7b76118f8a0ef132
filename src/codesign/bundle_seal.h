#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "codesign/openssl_util.h"

// The resource seal of a bundle: every entry of the bundle except the main
// executable, in a canonical sorted form whose SHA-256 the main executable's
// signature carries. Adding, removing or changing anything breaks it.
namespace zefra::codesign {

struct BundleLayout {
  std::string root;            // the .app directory
  std::string executableName;  // CFBundleExecutable
  std::string executable;      // <root>/Contents/Linux/<executableName>
};

// Reads Contents/Info.json; the main executable must be a regular file.
Result<BundleLayout> readBundleLayout(const std::string& bundlePath);

struct SealEntry {
  enum class Type : char { kDirectory = 'd', kFile = 'f', kSymlink = 'l' };
  std::string path;  // relative to the bundle root, '/'-separated
  Type type = Type::kFile;
  // Permission bits without group/other write, so that a different umask at
  // unpacking does not break the seal while an execute bit still counts.
  std::uint32_t mode = 0;
  ossl::Sha256 hash{};            // files
  std::string linkTarget;         // symlinks
  bool carriesSignature = false;  // a file ending in a signature block
};

struct ResourceSeal {
  std::vector<SealEntry> entries;  // sorted by path, byte order
  ossl::Sha256 digest{};
};

// Encoding hashed into the digest (integers big-endian): "ZEFRA-SEAL",
// u16 version (1), u32 entry count, then per entry: u8 type, u32 mode,
// u32 path length, path, and a 32-byte hash (files) or u32 length plus
// target (symlinks).
std::string encodeSeal(const std::vector<SealEntry>& entries);

// Special files (sockets, devices, FIFOs) make a bundle unsealable.
Result<ResourceSeal> computeResourceSeal(const BundleLayout& layout);

}  // namespace zefra::codesign

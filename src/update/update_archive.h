#pragma once

#include <optional>
#include <string>

#include "base/result.h"

// The maker's side of an update: a signed zip that installUpdateFromZip
// accepts, made from a built bundle.
namespace zefra::update {

struct UpdateArchiveOptions {
  std::string bundlePath;   // the built bundle, left untouched
  std::string archivePath;  // the zip written
  std::string keyPath;      // signing key (PEM)
  std::string chainPath;    // leaf, then intermediates (PEM)
  std::string identifier = "com.ovak.zefra.helper";
  std::optional<std::string> version;       // new CFBundleVersion
  std::optional<std::string> shortVersion;  // new CFBundleShortVersionString
  // The bundle's name at the archive's top level; its own name when empty.
  std::string nameInArchive;
};

// Copies the bundle, re-versions the copy when asked, signs it (seal and main
// executable) and zips it as the archive's one top-level entry. The archive
// appears complete or not at all.
base::Status makeUpdateArchive(const UpdateArchiveOptions& options);

}  // namespace zefra::update

#pragma once

#include <string>

#include "update/update_settings.h"

namespace zefra::update {

inline constexpr char kUpdateRequirement[] =
    "anchor apple generic and identifier \"com.ovak.zefra.helper\" and "
    "certificate leaf[subject.OU] = \"K4T9QZ2M7B\"";

struct InstallOutcome {
  bool ok = false;
  std::string message;
};

// Unpacks the archive into a fresh staging folder, checks the bundle at its
// top level and puts it in place of the running copy's bundle. Synchronous;
// the caller replies and ends the process. The staging folder is removed
// whatever the outcome.
//
// The swap never leaves the bundle's path empty: a copy of the checked
// bundle is made beside the installed one (same file system), checked again,
// and the two are exchanged in one rename; the old copy then goes to the
// backup path and is removed. A crash at any point leaves the old or the new
// helper in place, at worst with a hidden leftover beside it.
InstallOutcome installUpdateFromZip(const std::string& archivePath, const UpdateSettings& settings);

}  // namespace zefra::update

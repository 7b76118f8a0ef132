#pragma once

#include <functional>
#include <optional>
#include <string>

#include "codesign/trust_anchor.h"
#include "update/zip_archive.h"

namespace zefra::platform {
class UserDefaults;
}

namespace zefra::update {

// What the update operations read from their surroundings; tests substitute
// a temporary directory, a bundle, an anchor and the defaults file.
struct UpdateSettings {
  std::string temporaryDirectory;               // staging folders and the old copy go here
  std::string bundlePath;                       // the running copy's bundle
  bool runningFromBundle = false;               // false: the executable lies in no .app bundle
  std::optional<codesign::TrustAnchor> anchor;  // none: the anchor compiled in
  update::UnpackLimits unpackLimits;
  platform::UserDefaults* defaults = nullptr;
  // Takes the login-item agent out of service before an update; failures are
  // its own business.
  std::function<void()> unregisterAgent = [] {};
  // Ends the process once an update has been answered.
  std::function<void()> endProcess;
};

// This process's: $TMPDIR or /tmp, the main bundle, the standard defaults.
UpdateSettings defaultUpdateSettings();

}  // namespace zefra::update

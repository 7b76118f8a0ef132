#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/result.h"

namespace zefra::platform {

// Set by an "open application" that asks for a new instance: that launch
// does not hand its reopen to a running one.
inline constexpr const char* kNewInstanceVariable = "ZEFRA_NEW_INSTANCE";

// Starts the executable of the bundle at `bundlePath` (its Info file's
// CFBundleExecutable under Contents/Linux) with the open-application launch
// event, as a new instance. `completion` runs on a pool thread once the
// process has started or failed to.
void openApplication(const std::string& bundlePath,
                     std::function<void(std::optional<Error> error)> completion);

// True when this launch asked for a new instance. The first call reads the
// variable and removes it from the environment; call it at start.
bool newInstanceRequested();

}  // namespace zefra::platform

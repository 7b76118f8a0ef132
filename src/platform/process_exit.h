#pragma once

namespace zefra::platform {

// Ends the process now with `status`, after flushing standard streams. No
// destructor or exit handler runs: other threads may still be working, and
// tearing down shared objects under them would turn a clean end into a crash.
[[noreturn]] void exitProcess(int status);

}  // namespace zefra::platform

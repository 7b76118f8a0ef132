#pragma once

namespace zefra::platform {

// Ends the process now with `status`, after flushing standard streams. No
// destructor or exit handler runs: other threads may still be working, and
// tearing down shared objects under them would turn a clean end into a crash.
// Only what std::at_quick_exit registered runs, to remove what would
// otherwise be left on the machine.
[[noreturn]] void exitProcess(int status);

// Ends the process as `signal` would have, so that a shell sees an interrupt
// as one (and stops a script): the signal's default action is restored and
// it is raised; should it not end the process, the exit status is
// 128 + `signal`. Standard streams are not flushed: one blocked on a full
// pipe must not hold the end.
[[noreturn]] void exitBySignal(int signal);

}  // namespace zefra::platform

#pragma once

#include "base/result.h"

namespace zefra::platform {

// Caps the allocator at `arenas` arenas. Without a cap every thread that
// ever ran gets its own, and a burst of hundreds of pool threads leaves that
// many arenas' worth of freed memory resident. Call before any thread starts.
void boundAllocatorArenas(int arenas = 2);

// Opens the null device, read-only, on each of descriptors 0 to 2 that is
// closed. Otherwise the next socket or pipe takes that number, and what is
// written as output lands in it; a write to such an output now fails.
void openMissingStandardDescriptors();

// Hands the allocator's free pages back to the system.
void releaseFreeMemory();

// Raises the soft descriptor limit to the hard one: each connection and run
// holds descriptors, and the default soft limit is far below what the
// thread pool's bound allows.
Status raiseDescriptorLimit();

}  // namespace zefra::platform

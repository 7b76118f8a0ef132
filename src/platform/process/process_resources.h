#pragma once

#include "base/result.h"

namespace zefra::platform {

// Caps the allocator at `arenas` arenas. Without a cap every thread that
// ever ran gets its own, and a burst of hundreds of pool threads leaves that
// many arenas' worth of freed memory resident. Call before any thread starts.
void boundAllocatorArenas(int arenas = 2);

// Hands the allocator's free pages back to the system.
void releaseFreeMemory();

// Raises the soft descriptor limit to the hard one: each connection and run
// holds descriptors, and the default soft limit is far below what the
// thread pool's bound allows.
Status raiseDescriptorLimit();

}  // namespace zefra::platform

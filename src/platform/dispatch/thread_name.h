#pragma once

namespace zefra::platform {

// Names the calling thread as top -H, ps -L and debuggers show it; a name
// longer than 15 bytes leaves the thread as it was.
void nameThisThread(const char* name);

}  // namespace zefra::platform

#pragma once

namespace zefra::platform {

// Asks the kernel to reclaim the pages of the shared library holding
// `address` that were never written: its code and read-only data. Pages
// another process maps stay, and nothing is lost: a page used again is read
// back from the file. Does nothing for the program itself or an unknown
// address.
void pageOutLibraryCode(const void* address);

}  // namespace zefra::platform

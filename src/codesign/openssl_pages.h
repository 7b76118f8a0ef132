#pragma once

namespace zefra::codesign {

// Hands OpenSSL's code back to the system (platform::pageOutLibraryCode):
// with verdicts cached, it runs again only for a program not checked before
// or an update, so an idle helper need not keep it resident.
void pageOutOpenSsl();

}  // namespace zefra::codesign

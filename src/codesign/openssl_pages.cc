#include "codesign/openssl_pages.h"

#include <openssl/crypto.h>

#include "platform/library_pages.h"

namespace zefra::codesign {

void pageOutOpenSsl() {
  platform::pageOutLibraryCode(reinterpret_cast<const void*>(&OPENSSL_init_crypto));
}

}  // namespace zefra::codesign

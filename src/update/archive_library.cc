#include "update/archive_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/log.h"

namespace zefra::update {
namespace {

// libarchive 3 has kept the same ABI, and so this name, since 3.0.
static_assert(ARCHIVE_VERSION_NUMBER >= 3000000 && ARCHIVE_VERSION_NUMBER < 4000000);
constexpr char kLibraryName[] = "libarchive.so.13";

std::string loadError() {
  const char* text = ::dlerror();
  return text ? text : "unknown error";
}

// Looked up by the name and along the search path the linker would have
// used; never closed, since its pointers live as long as the process.
const ArchiveLibrary* load() {
  static ArchiveLibrary library;
  void* handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    platform::log("Cannot load " + std::string(kLibraryName) + ": " + loadError());
    return nullptr;
  }
#define ZEFRA_ARCHIVE_RESOLVE(name)                                           \
  library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (!library.name) {                                                        \
    platform::log(std::string(kLibraryName) + " lacks " #name);               \
    ::dlclose(handle);                                                        \
    return nullptr;                                                           \
  }
  ZEFRA_ARCHIVE_FUNCTIONS(ZEFRA_ARCHIVE_RESOLVE)
#undef ZEFRA_ARCHIVE_RESOLVE
  return &library;
}

}  // namespace

const ArchiveLibrary* archiveLibrary() {
  static const ArchiveLibrary* const library = load();
  return library;
}

}  // namespace zefra::update

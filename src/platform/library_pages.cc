#include "platform/library_pages.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zefra::platform {
namespace {

struct Search {
  std::uintptr_t address;
};

bool contains(const dl_phdr_info& object, std::uintptr_t address) {
  for (int i = 0; i < object.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = object.dlpi_phdr[i];
    const std::uintptr_t start = object.dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && address >= start && address < start + segment.p_memsz) {
      return true;
    }
  }
  return false;
}

int pageOutIfHolding(dl_phdr_info* object, std::size_t, void* data) {
  const auto address = static_cast<Search*>(data)->address;
  if (!contains(*object, address)) return 0;
  // The program comes first with no name; its code serves every call.
  if (!object->dlpi_name || object->dlpi_name[0] == '\0') return 1;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  for (int i = 0; i < object->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = object->dlpi_phdr[i];
    // A writable segment holds relocated and live data: left alone.
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W)) continue;
    const std::uintptr_t start = (object->dlpi_addr + segment.p_vaddr) & ~(page - 1);
    const std::uintptr_t end =
        (object->dlpi_addr + segment.p_vaddr + segment.p_memsz + page - 1) & ~(page - 1);
    // A hint: a kernel without it, or a page it will not take, changes nothing.
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
  }
  return 1;
}

}  // namespace

void pageOutLibraryCode(const void* address) {
  Search search{reinterpret_cast<std::uintptr_t>(address)};
  ::dl_iterate_phdr(pageOutIfHolding, &search);
}

}  // namespace zefra::platform

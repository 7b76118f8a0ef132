#include "codesign/code_file_systems.h"

#include <sys/sysmacros.h>

#include <string>

#include "platform/process/mount_table.h"
#include "platform/process/process_image.h"

namespace zefra::codesign {

base::Status checkCodeFileSystems(const std::vector<dev_t>& devices, std::string_view mountinfo) {
  for (dev_t device : devices) {
    const auto type = platform::fileSystemType(mountinfo, device);
    if (!type) {
      return base::Error{0, "its code lies on a file system its mounts do not list (" +
                                std::to_string(major(device)) + ":" +
                                std::to_string(minor(device)) + ")"};
    }
    if (*type == "fuse" || *type == "fuseblk" || type->starts_with("fuse.")) {
      return base::Error{
          0, "its code lies on a file system whose server could show it otherwise (" + *type + ")"};
    }
  }
  return base::Ok{};
}

base::Status checkCodeFileSystems(const platform::PeerProcess& peer, int heldImage,
                                  const std::vector<platform::ExecutableMapping>& mappings) {
  auto image = platform::heldFileDevice(heldImage);
  if (!image) return image.error();
  std::vector<dev_t> devices{*image};
  for (const platform::ExecutableMapping& mapping : mappings) devices.push_back(mapping.device);
  auto mountinfo = platform::mountInfoOf(peer);
  if (!mountinfo) return base::Error{0, "cannot read the peer's mounts"};
  return checkCodeFileSystems(devices, *mountinfo);
}

}  // namespace zefra::codesign

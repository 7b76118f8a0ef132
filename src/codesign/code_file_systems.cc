#include "codesign/code_file_systems.h"

#include <sys/sysmacros.h>

#include <string>

#include "platform/process/mount_table.h"
#include "platform/process/process_image.h"

namespace zefra::codesign {

namespace {

base::Status checkType(const std::string& type) {
  if (type == "fuse" || type == "fuseblk" || type.starts_with("fuse.")) {
    return base::Error{
        0, "its code lies on a file system whose server could show it otherwise (" + type + ")"};
  }
  return base::Ok{};
}

base::Error unlisted(const std::string& where) {
  return base::Error{0, "its code lies on a file system its mounts do not list (" + where + ")"};
}

}  // namespace

base::Status checkCodeFileSystems(const std::vector<dev_t>& devices, std::string_view mountinfo) {
  for (dev_t device : devices) {
    const auto type = platform::fileSystemType(mountinfo, device);
    if (!type) return unlisted(std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    if (base::Status served = checkType(*type); !served) return served;
  }
  return base::Ok{};
}

base::Result<dev_t> checkCodeFileSystems(const platform::PeerProcess& peer, int heldImage,
                                         const std::vector<platform::ExecutableMapping>& mappings) {
  auto mountinfo = platform::mountInfoOf(peer);
  if (!mountinfo) return base::Error{0, "cannot read the peer's mounts"};
  // The image by the mount it lies on, which its mount namespace must list.
  auto image = platform::mountOfHeldFile(heldImage, *mountinfo);
  if (!image) return image.error();
  if (!*image) return unlisted("its program");
  if (base::Status served = checkType((*image)->type); !served) return served.error();
  std::vector<dev_t> devices;
  for (const platform::ExecutableMapping& mapping : mappings) devices.push_back(mapping.device);
  if (base::Status served = checkCodeFileSystems(devices, *mountinfo); !served) {
    return served.error();
  }
  return (*image)->device;
}

}  // namespace zefra::codesign

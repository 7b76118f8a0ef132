#pragma once

#include <sys/types.h>

#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/process/peer_process.h"
#include "platform/process/process_image.h"

namespace zefra::codesign {

// A FUSE server answers every read of its files itself: it can give the
// kernel one program to run and the helper, reading the same file, the
// signed one, or never answer the helper's open at all. Such code is
// refused before the helper opens a file of it.
//
// Refuses when a device of `devices` is, in the peer's `mountinfo`, on a file
// system of type "fuse", "fuseblk" or "fuse.<subtype>", or is not listed
// there at all.
base::Status checkCodeFileSystems(const std::vector<dev_t>& devices, std::string_view mountinfo);

// The same for the peer's held image (platform::holdRunningImage), by the
// mount it lies on, and every file it maps executable, in its own view of the
// mounts. Gives the image's device as its mappings show it.
base::Result<dev_t> checkCodeFileSystems(const platform::PeerProcess& peer, int heldImage,
                                         const std::vector<platform::ExecutableMapping>& mappings);

}  // namespace zefra::codesign

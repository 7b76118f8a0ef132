#pragma once

#include <cstddef>
#include <string>

#include "base/result.h"

namespace zefra::platform {

enum class FinalSymlink { kFollow, kRefuse };

// The whole of a small file (keys, certificates, Info.json); a file larger
// than `limit` is an error rather than a memory hog.
Result<std::string> readSmallFile(const std::string& path, std::size_t limit = 1024 * 1024,
                                  FinalSymlink symlink = FinalSymlink::kFollow);

}  // namespace zefra::platform

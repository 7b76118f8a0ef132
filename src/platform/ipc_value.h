#pragma once

// Until the tool files include wire/utf8.h themselves.
#include "wire/utf8.h"

namespace zefra::platform {
using wire::isValidUtf8;
using wire::repairUtf8;
}  // namespace zefra::platform

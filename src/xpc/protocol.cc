#include "xpc/protocol.h"

#include <array>
#include <string_view>

namespace zefra::xpc {

namespace {
constexpr std::array<const char*, kSelectorCount> kNames = {
    "pingWithReply:",
    "toolInventoryWithReply:",
    "runWithRunID:tool:arguments:input:workingDirectory:environment:reply:",
    "cancelWithRunID:",
    "prepareForUpdateWithReply:",
    "installUpdateFromZipAt:reply:",
};
}  // namespace

const char* selectorName(Selector selector) { return kNames[static_cast<int>(selector)]; }

std::optional<Selector> selectorFromName(std::string_view name) {
  for (int i = 0; i < kSelectorCount; ++i) {
    if (name == kNames[i]) return static_cast<Selector>(i);
  }
  return std::nullopt;
}

}  // namespace zefra::xpc

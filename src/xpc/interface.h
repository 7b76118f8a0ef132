#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "wire/message.h"
#include "xpc/operations.h"

namespace zefra::xpc {

// The Mach service names, in the order listeners open and the probe dials.
inline constexpr std::array<std::string_view, 2> machServiceNames = {
    "group.com.ovak.zefra.helper",
    "K4T9QZ2M7B.com.ovak.zefra.helper",
};

struct MethodDescription {
  Selector selector;
  std::vector<Position> arguments;
  std::vector<Position> reply;
  bool hasReply = false;
  friend bool operator==(const MethodDescription&, const MethodDescription&) = default;
};

// The description of ZefraHelperProtocol that both sides check values with:
// the serving side checks calls, the calling side replies. Each object
// position admits the class of its declared type until setClasses changes it;
// a set also covers the objects inside a collection.
class Interface final : public wire::IpcInterface {
 public:
  Interface();

  // False (and nothing changes) when the position is not an object position.
  bool setClasses(ClassSet classes, Selector selector, int argumentIndex, bool ofReply);
  const MethodDescription& method(Selector selector) const;

  base::Result<bool> checkCall(std::string_view selector,
                                   const std::vector<wire::IpcValue>& arguments) const override;
  base::Status checkReply(std::string_view selector,
                              const std::vector<wire::IpcValue>& values) const override;

  friend bool operator==(const Interface& a, const Interface& b) {
    return a.methods_ == b.methods_;
  }

 private:
  std::array<MethodDescription, kSelectorCount> methods_;
};

// A new interface with the helper's allowed classes (each operation's
// argumentClasses and replyClasses, set in table order).
std::shared_ptr<Interface> makeHelperInterface();

}  // namespace zefra::xpc

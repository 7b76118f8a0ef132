#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/ipc_message.h"
#include "xpc/protocol.h"

namespace zefra::xpc {

// The Mach service names, in the order listeners open and the probe dials.
inline constexpr std::array<std::string_view, 2> machServiceNames = {
    "group.com.ovak.zefra.helper",
    "K4T9QZ2M7B.com.ovak.zefra.helper",
};

// The object classes that may cross the connection.
enum class ObjectClass : std::uint8_t { kString, kData, kArray, kDictionary };

class ClassSet {
 public:
  constexpr ClassSet() = default;
  constexpr ClassSet(std::initializer_list<ObjectClass> classes) {
    for (ObjectClass c : classes) bits_ |= bit(c);
  }
  constexpr bool contains(ObjectClass c) const { return (bits_ & bit(c)) != 0; }
  friend constexpr bool operator==(ClassSet, ClassSet) = default;

 private:
  static constexpr std::uint8_t bit(ObjectClass c) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(c));
  }
  std::uint8_t bits_ = 0;
};

// One argument or reply position: an object of an allowed class (nil allowed
// at the top level, never inside a collection), or a scalar.
struct Position {
  enum class Kind { kObject, kInt32, kBool };
  Kind kind = Kind::kObject;
  ClassSet classes;
  friend bool operator==(const Position&, const Position&) = default;
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
class Interface final : public platform::IpcInterface {
 public:
  Interface();

  // False (and nothing changes) when the position is not an object position.
  bool setClasses(ClassSet classes, Selector selector, int argumentIndex, bool ofReply);
  const MethodDescription& method(Selector selector) const;

  platform::Result<bool> checkCall(std::string_view selector,
                                   const std::vector<platform::IpcValue>& arguments) const override;
  platform::Status checkReply(std::string_view selector,
                              const std::vector<platform::IpcValue>& values) const override;

  friend bool operator==(const Interface& a, const Interface& b) {
    return a.methods_ == b.methods_;
  }

 private:
  std::array<MethodDescription, kSelectorCount> methods_;
};

// A new interface with the helper's allowed classes; every call builds a new,
// alike object.
std::shared_ptr<Interface> makeHelperInterface();

}  // namespace zefra::xpc

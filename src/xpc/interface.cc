#include "xpc/interface.h"

#include <limits>
#include <string>

namespace zefra::xpc {

using platform::IpcValue;
using platform::ipcViolation;

namespace {

Position object(ObjectClass declared) {
  return {Position::Kind::kObject, ClassSet{declared}};
}
const Position kInt32{Position::Kind::kInt32, {}};
const Position kBool{Position::Kind::kBool, {}};

bool conforms(const IpcValue& value, ClassSet classes) {
  switch (value.kind()) {
    case IpcValue::Kind::kString:
      return classes.contains(ObjectClass::kString);
    case IpcValue::Kind::kData:
      return classes.contains(ObjectClass::kData);
    case IpcValue::Kind::kArray:
      if (!classes.contains(ObjectClass::kArray)) return false;
      for (const IpcValue& element : value.elements()) {
        if (!conforms(element, classes)) return false;
      }
      return true;
    case IpcValue::Kind::kMap:
      if (!classes.contains(ObjectClass::kDictionary)) return false;
      for (const auto& entry : value.entries()) {
        if (!conforms(entry.key, classes) || !conforms(entry.value, classes)) return false;
      }
      return true;
    case IpcValue::Kind::kNil:   // only at the top, handled by the caller
    case IpcValue::Kind::kBool:  // numbers are not among the object classes
    case IpcValue::Kind::kInt:
      break;
  }
  return false;
}

bool fits(const IpcValue& value, const Position& position) {
  switch (position.kind) {
    case Position::Kind::kObject:
      return value.isNil() || conforms(value, position.classes);
    case Position::Kind::kInt32:
      return value.kind() == IpcValue::Kind::kInt &&
             value.asInt() >= std::numeric_limits<std::int32_t>::min() &&
             value.asInt() <= std::numeric_limits<std::int32_t>::max();
    case Position::Kind::kBool:
      return value.kind() == IpcValue::Kind::kBool;
  }
  return false;
}

platform::Status checkPositions(std::string_view selector, const char* side,
                                const std::vector<Position>& positions,
                                const std::vector<IpcValue>& values) {
  if (values.size() != positions.size()) {
    return ipcViolation(std::string(selector) + " takes " + std::to_string(positions.size()) + " " +
                        side + " values, not " + std::to_string(values.size()));
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!fits(values[i], positions[i])) {
      return ipcViolation(std::string(side) + " value " + std::to_string(i) + " of " +
                          std::string(selector) + " is of a class it does not admit");
    }
  }
  return platform::Ok{};
}

}  // namespace

Interface::Interface() {
  using C = ObjectClass;
  methods_ = {{
      {Selector::kPing, {}, {object(C::kString)}, true},
      {Selector::kToolInventory, {}, {object(C::kDictionary)}, true},
      {Selector::kRun,
       {object(C::kString), object(C::kString), object(C::kArray), object(C::kData),
        object(C::kString), object(C::kDictionary)},
       {object(C::kData), object(C::kData), kInt32},
       true},
      {Selector::kCancel, {object(C::kString)}, {}, false},
      {Selector::kPrepareForUpdate, {}, {kBool}, true},
      {Selector::kInstallUpdate, {object(C::kString)}, {kBool, object(C::kString)}, true},
  }};
}

bool Interface::setClasses(ClassSet classes, Selector selector, int argumentIndex, bool ofReply) {
  MethodDescription& description = methods_[static_cast<int>(selector)];
  std::vector<Position>& positions = ofReply ? description.reply : description.arguments;
  if (argumentIndex < 0 || static_cast<std::size_t>(argumentIndex) >= positions.size()) {
    return false;
  }
  Position& position = positions[static_cast<std::size_t>(argumentIndex)];
  if (position.kind != Position::Kind::kObject) return false;
  position.classes = classes;
  return true;
}

const MethodDescription& Interface::method(Selector selector) const {
  return methods_[static_cast<int>(selector)];
}

platform::Result<bool> Interface::checkCall(std::string_view selector,
                                            const std::vector<IpcValue>& arguments) const {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known) return ipcViolation("unknown selector " + std::string(selector));
  const MethodDescription& description = method(*known);
  if (platform::Status status =
          checkPositions(selector, "argument", description.arguments, arguments);
      !status) {
    return status.error();
  }
  return description.hasReply;
}

platform::Status Interface::checkReply(std::string_view selector,
                                       const std::vector<IpcValue>& values) const {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known) return ipcViolation("unknown selector " + std::string(selector));
  const MethodDescription& description = method(*known);
  if (!description.hasReply) return ipcViolation(std::string(selector) + " has no reply");
  return checkPositions(selector, "reply", description.reply, values);
}

std::shared_ptr<Interface> makeHelperInterface() {
  auto interface = std::make_shared<Interface>();
  const ClassSet strings{ObjectClass::kString};
  const ClassSet dictionaries{ObjectClass::kDictionary, ObjectClass::kString};
  const ClassSet arrays{ObjectClass::kArray, ObjectClass::kString};
  const ClassSet data{ObjectClass::kData};
  interface->setClasses(strings, Selector::kPing, 0, true);
  interface->setClasses(dictionaries, Selector::kToolInventory, 0, true);
  interface->setClasses(strings, Selector::kRun, 0, false);
  interface->setClasses(strings, Selector::kRun, 1, false);
  interface->setClasses(arrays, Selector::kRun, 2, false);
  interface->setClasses(data, Selector::kRun, 3, false);
  interface->setClasses(strings, Selector::kRun, 4, false);
  interface->setClasses(dictionaries, Selector::kRun, 5, false);
  interface->setClasses(data, Selector::kRun, 0, true);
  interface->setClasses(data, Selector::kRun, 1, true);
  interface->setClasses(strings, Selector::kCancel, 0, false);
  interface->setClasses(strings, Selector::kInstallUpdate, 0, false);
  interface->setClasses(strings, Selector::kInstallUpdate, 1, true);
  return interface;
}

}  // namespace zefra::xpc

#include "xpc/interface.h"

#include <limits>
#include <string>

namespace zefra::xpc {

using wire::IpcValue;
using wire::ipcViolation;

namespace {

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
    case IpcValue::Kind::kBool:
    case IpcValue::Kind::kInt:
    case IpcValue::Kind::kReal:
      return classes.contains(ObjectClass::kNumber);
    case IpcValue::Kind::kNil:  // only at the top, handled by the caller
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

base::Status checkPositions(std::string_view selector, const char* side,
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
  return base::Ok{};
}

}  // namespace

Interface::Interface() {
  forEachOperation([this](auto op) {
    using Op = decltype(op);
    methods_[static_cast<int>(Op::selector)] = {Op::selector, positionsOf(typename Op::Arguments{}),
                                                positionsOf(typename Op::Reply{}), !kOneWay<Op>};
  });
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

base::Result<bool> Interface::checkCall(std::string_view selector,
                                        const std::vector<IpcValue>& arguments) const {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known) return ipcViolation("unknown selector " + std::string(selector));
  const MethodDescription& description = method(*known);
  if (base::Status status = checkPositions(selector, "argument", description.arguments, arguments);
      !status) {
    return status.error();
  }
  return description.hasReply;
}

base::Status Interface::checkReply(std::string_view selector,
                                   const std::vector<IpcValue>& values) const {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known) return ipcViolation("unknown selector " + std::string(selector));
  const MethodDescription& description = method(*known);
  if (!description.hasReply) return ipcViolation(std::string(selector) + " has no reply");
  return checkPositions(selector, "reply", description.reply, values);
}

std::shared_ptr<Interface> makeHelperInterface() {
  auto interface = std::make_shared<Interface>();
  forEachOperation([&](auto op) {
    using Op = decltype(op);
    auto apply = [&](const auto& classes, bool ofReply) {
      const MethodDescription& description = interface->method(Op::selector);
      const std::vector<Position>& positions = ofReply ? description.reply : description.arguments;
      for (std::size_t i = 0; i < classes.size(); ++i) {
        if (positions[i].kind != Position::Kind::kObject) continue;
        interface->setClasses(classes[i], Op::selector, static_cast<int>(i), ofReply);
      }
    };
    apply(Op::argumentClasses, false);
    apply(Op::replyClasses, true);
  });
  return interface;
}

const char* selectorName(Selector selector) {
  const char* name = "";
  forEachOperation([&](auto op) {
    if (decltype(op)::selector == selector) name = decltype(op)::name;
  });
  return name;
}

std::optional<Selector> selectorFromName(std::string_view name) {
  std::optional<Selector> found;
  forEachOperation([&](auto op) {
    if (name == decltype(op)::name) found = decltype(op)::selector;
  });
  return found;
}

}  // namespace zefra::xpc

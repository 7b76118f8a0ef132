#include "xpc/exported_object.h"

#include <utility>

#include "xpc/wire_types.h"

namespace zefra::xpc {

using platform::IpcReply;
using platform::IpcValue;
using platform::ipcViolation;
using platform::Result;
using platform::Work;
using wire::BadText;

namespace {

// Replies come from the helper's own values; text that is not UTF-8 (a path,
// a tool's version line) is repaired rather than lost with the connection.
constexpr BadText kReplyText = BadText::kRepair;

template <class T>
bool take(Result<T> read, T& out) {
  if (!read) return false;
  out = std::move(read).value();
  return true;
}

}  // namespace

ExportedObject::ExportedObject(std::shared_ptr<ZefraHelperProtocol> object)
    : object_(std::move(object)) {}

Result<Work> ExportedObject::bind(std::string_view selector, std::vector<IpcValue> arguments,
                                  IpcReply reply) {
  std::optional<Selector> known = selectorFromName(selector);
  if (!known || !object_ || !object_->offers(*known)) {
    return ipcViolation(std::string(selector) + " is not offered");
  }
  const Result<Work> badShape =
      ipcViolation("arguments of " + std::string(selector) + " do not have the declared types");
  auto object = object_;  // queued work holds its own reference
  switch (*known) {
    case Selector::kPing:
      return Work([object, reply] {
        object->pingWithReply(
            [reply](std::string version) { reply.send({wire::writeString(version, kReplyText)}); });
      });

    case Selector::kToolInventory:
      return Work([object, reply] {
        object->toolInventoryWithReply([reply](Inventory inventory) {
          reply.send({wire::writeInventory(inventory, kReplyText)});
        });
      });

    case Selector::kRun: {
      if (arguments.size() != 6) return badShape;
      std::string runID, tool;
      std::vector<std::string> list;
      std::optional<Bytes> input;
      std::optional<std::string> workingDirectory;
      Environment environment;
      if (!take(wire::readString(arguments[0]), runID) ||
          !take(wire::readString(arguments[1]), tool) ||
          !take(wire::readStringList(arguments[2]), list) ||
          !take(wire::readOptionalData(arguments[3]), input) ||
          !take(wire::readOptionalString(arguments[4]), workingDirectory) ||
          !take(wire::readStringMap(arguments[5]), environment)) {
        return badShape;
      }
      return Work([object, reply, runID = std::move(runID), tool = std::move(tool),
                   list = std::move(list), input = std::move(input),
                   workingDirectory = std::move(workingDirectory),
                   environment = std::move(environment)]() mutable {
        object->runWithRunID(
            std::move(runID), std::move(tool), std::move(list), std::move(input),
            std::move(workingDirectory), std::move(environment),
            [reply](Bytes standardOutput, Bytes standardError, int32_t status) {
              reply.send({IpcValue::data(std::move(standardOutput)),
                          IpcValue::data(std::move(standardError)), IpcValue::integer(status)});
            });
      });
    }

    case Selector::kCancel: {
      std::string runID;
      if (arguments.size() != 1 || !take(wire::readString(arguments[0]), runID)) return badShape;
      return Work([object, runID = std::move(runID)]() mutable {
        object->cancelWithRunID(std::move(runID));
      });
    }

    case Selector::kPrepareForUpdate:
      return Work([object, reply] {
        object->prepareForUpdateWithReply(
            [reply](bool ok) { reply.send({IpcValue::boolean(ok)}); });
      });

    case Selector::kInstallUpdate: {
      std::string path;
      if (arguments.size() != 1 || !take(wire::readString(arguments[0]), path)) return badShape;
      return Work([object, reply, path = std::move(path)]() mutable {
        object->installUpdateFromZipAt(std::move(path), [reply](bool ok, std::string message) {
          reply.send({IpcValue::boolean(ok), wire::writeString(std::move(message), kReplyText)});
        });
      });
    }
  }
  return ipcViolation("unknown selector " + std::string(selector));
}

std::shared_ptr<platform::IpcExportedObject> makeExportedObject(
    std::shared_ptr<ZefraHelperProtocol> object) {
  return std::make_shared<ExportedObject>(std::move(object));
}

bool ExportedObject::isQuick(std::string_view selector) const {
  return selector == selectorName(Selector::kPing);
}

}  // namespace zefra::xpc

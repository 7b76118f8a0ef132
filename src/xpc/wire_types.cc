#include "xpc/wire_types.h"

#include <set>

#include "base/utf8.h"

namespace zefra::xpc {

using wire::ipcViolation;
using Kind = IpcValue::Kind;

Result<std::string> readString(const IpcValue& value) {
  if (value.isNil()) return std::string();
  if (value.kind() != Kind::kString) return ipcViolation("expected a string");
  return std::string(value.asString());
}

Result<std::optional<std::string>> readOptionalString(const IpcValue& value) {
  if (value.isNil()) return std::optional<std::string>();
  Result<std::string> text = readString(value);
  if (!text) return text.error();
  return std::optional<std::string>(std::move(text).value());
}

Result<std::vector<std::string>> readStringList(const IpcValue& value) {
  std::vector<std::string> list;
  if (value.isNil()) return list;
  if (value.kind() != Kind::kArray) return ipcViolation("expected a list of strings");
  list.reserve(value.elements().size());
  for (const IpcValue& element : value.elements()) {
    if (element.kind() != Kind::kString) return ipcViolation("expected a list of strings");
    list.emplace_back(element.asString());
  }
  return list;
}

Result<Bytes> readData(const IpcValue& value) {
  if (value.isNil()) return Bytes();
  if (value.kind() != Kind::kData) return ipcViolation("expected data");
  return value.bytes();
}

Result<std::optional<Bytes>> readOptionalData(const IpcValue& value) {
  if (value.isNil()) return std::optional<Bytes>();
  Result<Bytes> data = readData(value);
  if (!data) return data.error();
  return std::optional<Bytes>(std::move(data).value());
}

Result<Environment> readStringMap(const IpcValue& value) {
  Environment map;
  if (value.isNil()) return map;
  if (value.kind() != Kind::kMap) return ipcViolation("expected a map of strings");
  for (const auto& entry : value.entries()) {
    if (entry.key.kind() != Kind::kString || entry.value.kind() != Kind::kString) {
      return ipcViolation("expected a map of strings");
    }
    map.emplace(entry.key.asString(), entry.value.asString());
  }
  return map;
}

Result<Inventory> readInventory(const IpcValue& value) {
  Inventory inventory;
  if (value.isNil()) return inventory;
  if (value.kind() != Kind::kMap) return ipcViolation("expected an inventory map");
  for (const auto& entry : value.entries()) {
    if (entry.key.kind() != Kind::kString) return ipcViolation("expected an inventory map");
    Result<Environment> fields = readStringMap(entry.value);
    if (!fields || entry.value.isNil()) return ipcViolation("expected an inventory map");
    inventory.emplace(entry.key.asString(), std::move(fields).value());
  }
  return inventory;
}

IpcValue writeString(std::string text, BadText bad) {
  if (bad == BadText::kRepair && !base::isValidUtf8(text)) text = base::repairUtf8(text);
  return IpcValue::string(std::move(text));
}

IpcValue writeStringList(const std::vector<std::string>& list, BadText bad) {
  IpcValue::Array elements;
  elements.reserve(list.size());
  for (const std::string& text : list) elements.push_back(writeString(text, bad));
  return IpcValue::array(std::move(elements));
}

IpcValue writeStringMap(const std::map<std::string, std::string>& map, BadText bad) {
  IpcValue::Map entries;
  entries.reserve(map.size());
  std::set<std::string, std::less<>> keys;  // repairs can make two keys alike
  for (const auto& [key, text] : map) {
    IpcValue wireKey = writeString(key, bad);
    if (!keys.emplace(wireKey.asString()).second) continue;
    entries.push_back({std::move(wireKey), writeString(text, bad)});
  }
  return IpcValue::map(std::move(entries));
}

IpcValue writeInventory(const Inventory& inventory, BadText bad) {
  IpcValue::Map entries;
  entries.reserve(inventory.size());
  std::set<std::string, std::less<>> keys;
  for (const auto& [tool, fields] : inventory) {
    IpcValue wireKey = writeString(tool, bad);
    if (!keys.emplace(wireKey.asString()).second) continue;
    entries.push_back({std::move(wireKey), writeStringMap(fields, bad)});
  }
  return IpcValue::map(std::move(entries));
}

}  // namespace zefra::xpc

#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "wire/value.h"
#include "xpc/protocol.h"

// The protocol's typed values to and from wire values. Readers run after the
// interface has admitted the value's classes and check its shape; nil reads as
// the empty value, except where absence means something.
namespace zefra::xpc {

using base::Result;
using wire::IpcValue;

Result<std::string> readString(const IpcValue& value);
Result<std::optional<std::string>> readOptionalString(const IpcValue& value);
Result<std::vector<std::string>> readStringList(const IpcValue& value);
Result<Bytes> readData(const IpcValue& value);
Result<std::optional<Bytes>> readOptionalData(const IpcValue& value);
Result<Environment> readStringMap(const IpcValue& value);
Result<Inventory> readInventory(const IpcValue& value);

// What a writer does with text that is not UTF-8: keep it (the encoder then
// refuses the message) or replace each bad byte with U+FFFD.
enum class BadText { kKeep, kRepair };

IpcValue writeString(std::string text, BadText bad = BadText::kKeep);
IpcValue writeStringList(const std::vector<std::string>& list, BadText bad = BadText::kKeep);
IpcValue writeStringMap(const std::map<std::string, std::string>& map,
                        BadText bad = BadText::kKeep);
IpcValue writeInventory(const Inventory& inventory, BadText bad = BadText::kKeep);

}  // namespace zefra::xpc

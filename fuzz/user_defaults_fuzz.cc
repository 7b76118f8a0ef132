// Feeds arbitrary bytes as the defaults file to its reader, then runs one
// write transaction over it. The reader takes only a path, so the bytes go
// through a file. What the reader saw must survive the write: every other
// key keeps its value, and a file that is not an object is kept aside.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_dir.h"
#include "platform/desktop/user_defaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zefra::platform;
  using nlohmann::json;
  static const std::string path = zefra::fuzz::scratchDirectory() + "/defaults.json";
  std::error_code ec;
  std::filesystem::remove(path + ".corrupt", ec);
  zefra::fuzz::writeFile(path, data, size);

  // A fresh object per input: the parse cache must not hide the new bytes.
  UserDefaults defaults(path);
  const json before = defaults.snapshot().document();
  if (!before.is_object()) __builtin_trap();
  for (const auto& [key, value] : before.items()) {
    const json* found = defaults.snapshot().find(key);
    if (found == nullptr || *found != value) __builtin_trap();
    (void)defaults.stringForKey(key);
    (void)defaults.doubleForKey(key);
  }

  if (!defaults.setObject("FuzzWritten", json::array({1, "two"}))) __builtin_trap();
  const json after = UserDefaults(path).snapshot().document();
  json expected = before;
  expected["FuzzWritten"] = json::array({1, "two"});
  if (after != expected) __builtin_trap();
  return 0;
}

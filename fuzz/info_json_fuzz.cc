// Feeds arbitrary bytes as a bundle's Contents/Info.json to both of its
// readers: the Info dictionary a running bundle answers from (and the version
// ping derives from it), and the layout an update's verification starts with.
// Neither has a parse function of its own, so the bytes go through a file.
// The layout must never name an executable outside Contents/Linux.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "codesign/bundle_seal.h"
#include "fuzz_dir.h"
#include "platform/desktop/bundle.h"
#include "tools/helper_version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zefra;
  static const std::string bundle = [] {
    std::string root = fuzz::scratchDirectory() + "/Fuzz.app";
    std::filesystem::create_directories(root + "/Contents/Linux");
    fuzz::writeFile(root + "/Contents/Linux/zefra-helper", nullptr, 0);
    return root;
  }();
  fuzz::writeFile(bundle + "/Contents/Info.json", data, size);

  platform::Bundle running =
      platform::Bundle::atExecutablePath(bundle + "/Contents/Linux/zefra-helper");
  if (!running.isAppBundle() || !running.infoDictionary().is_object()) __builtin_trap();
  for (const char* key : {"CFBundleIdentifier", "CFBundleExecutable", "CFBundleVersion"}) {
    std::optional<std::string> value = running.stringForInfoKey(key);
    auto found = running.infoDictionary().find(key);
    const bool isString = found != running.infoDictionary().end() && found->is_string();
    if (value.has_value() != isString) __builtin_trap();
  }
  (void)tools::versionFromInfoDictionary(running.infoDictionary());
  if (platform::readInfoDictionary(bundle) != running.infoDictionary()) __builtin_trap();

  base::Result<codesign::BundleLayout> layout = codesign::readBundleLayout(bundle);
  if (layout) {
    const std::string& name = layout->executableName;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos ||
        layout->executable != bundle + "/Contents/Linux/" + name) {
      __builtin_trap();
    }
  }
  return 0;
}

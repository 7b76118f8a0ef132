#include "tools/helper_version.h"

#include "base/no_destructor.h"
#include "platform/desktop/bundle.h"

namespace zefra::tools {

std::string versionFromInfoDictionary(const nlohmann::json& info) {
  if (info.is_object()) {
    auto found = info.find("CFBundleShortVersionString");
    if (found != info.end() && found->is_string()) return found->get<std::string>();
  }
  return "1.0";
}

const std::string& VersionOnce::get(const std::function<nlohmann::json()>& infoDictionary) {
  std::call_once(once_, [&] { value_ = versionFromInfoDictionary(infoDictionary()); });
  return value_;
}

const std::string& helperVersion() {
  static base::NoDestructor<VersionOnce> version;
  return version.get().get([] { return platform::Bundle::main().infoDictionary(); });
}

}  // namespace zefra::tools

#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace zefra::platform {

// An application bundle: an executable at <X>.app/Contents/Linux/<exe>
// belongs to <X>.app, whose Info dictionary is <X>.app/Contents/Info.json.
// An executable anywhere else has its own directory as bundle path and an
// empty Info dictionary.
class Bundle {
 public:
  // This process's bundle, from /proc/self/exe; worked out once.
  static const Bundle& main();
  static Bundle atExecutablePath(std::string executablePath);

  const std::string& bundlePath() const { return bundlePath_; }
  const std::string& executablePath() const { return executablePath_; }
  // True when the executable lies in a <X>.app/Contents/Linux directory.
  bool isAppBundle() const { return isAppBundle_; }
  // Always an object; empty when Info.json is missing, unparsable or not an
  // object, or outside an app bundle.
  const nlohmann::json& infoDictionary() const { return info_; }
  // The Info value under `key` when it is a string.
  std::optional<std::string> stringForInfoKey(std::string_view key) const;
  std::optional<std::string> bundleIdentifier() const {
    return stringForInfoKey("CFBundleIdentifier");
  }
  // <X>.app/Contents/Resources, or the bundle path outside an app bundle.
  std::string resourcePath() const;

 private:
  Bundle() = default;
  std::string bundlePath_;
  std::string executablePath_;
  bool isAppBundle_ = false;
  nlohmann::json info_ = nlohmann::json::object();
};

// The Info dictionary of the bundle at `bundlePath` (<path>/Contents/Info.json),
// empty when missing, unparsable or not an object.
nlohmann::json readInfoDictionary(const std::string& bundlePath);

}  // namespace zefra::platform

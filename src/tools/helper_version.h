#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace zefra::tools {

// The version ping answers: the Info dictionary's "CFBundleShortVersionString"
// when it is a string (unchanged), else "1.0".
std::string versionFromInfoDictionary(const nlohmann::json& info);

// A version worked out once, by the first caller, whichever thread that is;
// later calls return the same text and never look at their argument again.
class VersionOnce {
 public:
  const std::string& get(const std::function<nlohmann::json()>& infoDictionary);

 private:
  std::once_flag once_;
  std::string value_;
};

// The helper's version from the main bundle's Info dictionary, read at the
// first call and kept for the life of the process.
const std::string& helperVersion();

}  // namespace zefra::tools

#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/process/child_process.h"
#include "tools/catalogue.h"

namespace zefra::testing {

// A catalogue name that no system search directory provides, so a stand-in
// in ~/.local/bin is what resolves. `skip` picks a further free name.
inline std::string freeTool(int skip = 0) {
  for (auto name : tools::allowedTools) {
    bool taken = false;
    for (const char* dir : {"/opt/homebrew/bin", "/usr/local/bin", "/opt/local/bin",
                            "/Library/TeX/texbin", "/Applications/quarto/bin", "/usr/bin"}) {
      taken = taken || access((std::string(dir) + "/" + std::string(name)).c_str(), F_OK) == 0;
    }
    if (!taken && skip-- == 0) return std::string(name);
  }
  ADD_FAILURE() << "every catalogue name is installed system-wide";
  return "";
}

// Starts a stand-in application bundle `dir`/`name`.app with `identifier`,
// whose executable is a copy of sleep.
inline platform::ChildProcess startStandInApplication(const std::string& dir,
                                                      const std::string& name,
                                                      const std::string& identifier) {
  const std::string bundle = dir + "/" + name + ".app";
  std::filesystem::create_directories(bundle + "/Contents/Linux");
  std::ofstream(bundle + "/Contents/Info.json")
      << R"({"CFBundleIdentifier": ")" << identifier << R"("})";
  std::filesystem::copy_file("/bin/sleep", bundle + "/Contents/Linux/app",
                             std::filesystem::copy_options::skip_existing);
  platform::SpawnOptions options;
  options.executable = bundle + "/Contents/Linux/app";
  options.arguments = {"600"};
  auto child = platform::spawnProcess(options);
  EXPECT_TRUE(child) << child.error().message;
  return std::move(child).value();
}

}  // namespace zefra::testing

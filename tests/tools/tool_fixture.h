#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "base/unique_fd.h"
#include "platform/desktop/user_defaults.h"
#include "platform/process/process_signals.h"
#include "support/eventually.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"
#include "tools/catalogue.h"
#include "tools/tool_service.h"

namespace zefra::tools::testing {

namespace fs = std::filesystem;
using zefra::testing::freeTool;
using zefra::testing::writeExecutable;

// What a run hands its tool besides the name.
struct Request {
  std::vector<std::string> arguments = {};
  std::optional<xpc::Bytes> input = {};
  std::optional<std::string> cwd = {};
  xpc::Environment environment = {};
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;
};

// How many lines `path` holds; 0 when it is absent.
inline int lineCount(const std::string& path) {
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

// A temporary home whose ~/.local/bin holds stand-in tools, its own defaults
// file and a stand-in login shell that counts its calls.
class ToolFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ignoreSigpipe();  // as the helper does before anything else
    home_ = temp_.path();
    fs::create_directories(bin());
    defaults_ = std::make_unique<platform::UserDefaults>(home_ + "/defaults.json");
    setShellAnswer("");
  }

  // What the defaults file holds under `key`; null when absent.
  nlohmann::json stored(const char* key) const { return defaults_->snapshot().get(key); }

  std::string bin() const { return home_ + "/.local/bin"; }

  std::string writeTool(const std::string& name, const std::string& script) {
    return writeExecutable(bin() + "/" + name, "#!/bin/sh\n" + script + "\n");
  }

  // The stand-in login shell prints this answer to "command -v".
  void setShellAnswer(const std::string& answer) {
    std::ofstream(home_ + "/shell-answer") << answer;
    writeExecutable(home_ + "/login-shell", "#!/bin/sh\necho \"$HOME\" \"$@\" >> '" + home_ +
                                                "/shell-calls'\ncat '" + home_ +
                                                "/shell-answer'\n");
  }
  int shellCalls() const { return lineCount(home_ + "/shell-calls"); }

  // Holds a tool at `flock -s gate()` until the test lets go of the lock.
  base::UniqueFd holdGate() {
    base::UniqueFd fd(::open(gate().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_EQ(::flock(fd.get(), LOCK_EX), 0);
    return fd;
  }
  std::string gate() const { return home_ + "/gate"; }

  ToolServiceSettings settings() const {
    ToolServiceSettings settings;
    settings.homeDirectory = home_;
    settings.defaults = defaults_.get();
    settings.loginShell = home_ + "/login-shell";
    settings.versionProbeTimeout = probeTimeout_;
    return settings;
  }
  ToolService& service() {
    if (!service_) service_ = ToolService::create(settings());
    return *service_;
  }
  // What a new connection would resolve with: fresh in-memory caches.
  std::unique_ptr<ToolResolver> newResolver() { return std::make_unique<ToolResolver>(settings()); }
  ToolResolver& resolver() {
    if (!resolver_) resolver_ = newResolver();
    return *resolver_;
  }

  std::future<RunResult> startRun(const std::string& runID, const std::string& tool,
                                  Request request = {}) {
    auto promise = std::make_shared<std::promise<RunResult>>();
    auto future = promise->get_future();
    service().runWithRunID(runID, tool, std::move(request.arguments), std::move(request.input),
                           std::move(request.cwd), std::move(request.environment),
                           [promise](xpc::Bytes out, xpc::Bytes err, int status) {
                             promise->set_value({out.str(), err.str(), status});
                           });
    return future;
  }
  RunResult run(const std::string& tool, Request request = {}) {
    return startRun("run", tool, std::move(request)).get();
  }

  zefra::testing::TempDir temp_;
  std::string home_;
  std::unique_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<ToolService> service_;
  std::unique_ptr<ToolResolver> resolver_;
  double probeTimeout_ = 10.0;
};

}  // namespace zefra::tools::testing

#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client/remote_proxy.h"
#include "platform/environment.h"
#include "platform/files/pipe_io.h"
#include "platform/files/small_file.h"
#include "platform/process/capture.h"
#include "platform/process/child_process.h"
#include "platform/process/pidfd.h"
#include "platform/process/process_signals.h"
#include "support/eventually.h"
#include "support/stand_ins.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace zefra::app::testing {

namespace fs = std::filesystem;

using zefra::testing::eventually;
using namespace std::chrono_literals;

// The helper's service names.
constexpr const char* kGroup = "group.com.ovak.zefra.helper";
constexpr const char* kTeam = "K4T9QZ2M7B.com.ovak.zefra.helper";

using Variables = std::map<std::string, std::string>;  // name to value

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the built helper under a temporary runtime directory, defaults file
// and home, and talks to it through the built client or the client library.
class HelperFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ignoreSigpipe();
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    fs::create_directories(root_ + "/home/.local/bin");
    fs::create_directories(root_ + "/config");
  }
  void TearDown() override {
    // A helper that quits removes what it made ahead for the next run; one
    // killed would leave it in the machine's cgroups.
    for (auto& helper : helpers_) {
      (void)helper.signal(SIGTERM);
      if (!exitsWithin(helper, 30)) {
        (void)helper.signal(SIGKILL);
        helper.wait();
      }
    }
  }

  std::vector<std::string> environment(const Variables& extra = {}) const {
    auto env = platform::processEnvironment();
    env["ZEFRA_RUNTIME_DIR"] = runtime_;
    env["XDG_CONFIG_HOME"] = root_ + "/config";
    env["HOME"] = root_ + "/home";
    // No user manager, no display: agents register by autostart entry and
    // alerts become log lines.
    for (const char* name : {"ZEFRA_LAUNCH_EVENT", "ZEFRA_VERBOSE", "XDG_RUNTIME_DIR",
                             "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"}) {
      env.erase(name);
    }
    for (const auto& [name, value] : overrides_) env[name] = value;
    for (const auto& [name, value] : extra) env[name] = value;
    return platform::environmentEntries(env);
  }

  // Starts `program` with our environment, `extraEnv` on top; its standard
  // input, output and error are the descriptors given, -1 the null device.
  base::Result<platform::ChildProcess> spawn(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             int out = -1, int err = -1, int in = -1,
                                             const Variables& extraEnv = {}) {
    auto stdio = [](int fd) {
      return fd < 0 ? platform::Stdio::nullDevice() : platform::Stdio::fromFd(fd);
    };
    platform::SpawnOptions options;
    options.executable = program;
    options.arguments = arguments;
    options.environment = environment(extraEnv);
    options.standardInput = stdio(in);
    options.standardOutput = stdio(out);
    options.standardError = stdio(err);
    return platform::spawnProcess(options);
  }
  // Starts `executable` as an agent is started: no launch event, display or
  // terminal unless given, standard error to the terminal or helper.log.
  platform::ChildProcess& start(const std::string& executable = ZEFRA_TEST_HELPER,
                                const Variables& extraEnv = {}, int terminal = -1) {
    base::UniqueFd logFile(
        ::open((root_ + "/helper.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    auto child =
        spawn(executable, {}, -1, terminal < 0 ? logFile.get() : terminal, terminal, extraEnv);
    EXPECT_TRUE(child) << child.error().message;
    helpers_.push_back(std::move(child.value()));
    return helpers_.back();
  }
  // Starts the helper and waits until its first service answers a ping.
  platform::ChildProcess& startHelper(const Variables& extraEnv = {}) {
    auto& helper = start(ZEFRA_TEST_HELPER, extraEnv);
    EXPECT_TRUE(eventually([&] {
      auto proxy = connect();
      return proxy && (*proxy)->ping();
    })) << "the helper does not answer; its log:\n"
        << log();
    return helper;
  }
  std::string log() const { return zefra::testing::fileText(root_ + "/helper.log"); }
  // The helper's defaults file; empty while it has none.
  nlohmann::json defaults() const {
    auto text = platform::readSmallFile(root_ + "/config/com.ovak.zefra.helper/defaults.json");
    return text ? nlohmann::json::parse(text.value(), nullptr, false) : nlohmann::json::object();
  }
  // Ends `process` by `signal` and reaps it. By SIGTERM, as a quit ends a
  // helper, it must leave cleanly.
  static void stop(platform::ChildProcess& process, int signal = SIGTERM) {
    ASSERT_TRUE(process.signal(signal));
    EXPECT_EQ(process.wait(), signal == SIGTERM ? 0 : signal);
  }
  // The child's status when it ends within `seconds`, reaped; else nothing.
  static std::optional<int> exitsWithin(platform::ChildProcess& child, double seconds) {
    const auto deadline = base::Deadline::after(seconds);
    return platform::waitForPidfdExit(child.handle().pidfd(), deadline) ? child.wait()
                                                                        : std::optional<int>();
  }

  base::Result<std::shared_ptr<client::RemoteProxy>> connect() {
    return client::RemoteProxy::connect(kGroup, nullptr, ipc::ConnectOptions(runtime_));
  }

  // Runs `program` to its end with our environment and optional input.
  Outcome runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::optional<std::string>& input = std::nullopt) {
    platform::CaptureOptions options;
    options.spawn.executable = program;
    options.spawn.arguments = arguments;
    options.spawn.environment = environment();
    options.spawn.workingDirectory = programDirectory_;
    // Without input the program's standard input is the null device, as at a terminal
    // nobody types into.
    options.inputFromPipe = input.has_value();
    if (input) options.input = *input;  // a view: must not point at a temporary
    auto captured = platform::captureProcess(options);
    EXPECT_TRUE(captured) << captured.error().message;
    if (!captured) return {};
    return {captured->status.value_or(-1), std::string(captured->standardOutput.view()),
            std::string(captured->standardError.view())};
  }
  Outcome client(const std::vector<std::string>& arguments) {
    return runProgram(ZEFRA_TEST_CLIENT, arguments);
  }

  static std::string freeTool(int skip = 0) { return zefra::testing::freeTool(skip); }

  std::string writeTool(const std::string& name, const std::string& script) {
    return zefra::testing::writeFile(root_ + "/home/.local/bin/" + name,
                                     "#!/bin/sh\n" + script + "\n");
  }

  zefra::testing::TempDir temp_;
  const std::string root_ = temp_.path();
  const std::string runtime_ = root_ + "/runtime";
  std::deque<platform::ChildProcess> helpers_;  // references to them outlive a later start
  // Variables every program started here gets on top of the above.
  Variables overrides_;
  std::optional<std::string> programDirectory_;  // where runProgram starts programs
};

}  // namespace zefra::app::testing

#pragma once

// The built helper in a process of its own, over a temporary home, runtime
// directory and settings. It serves only signed programs: the build signs
// the benchmarks that use this.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "client/remote_proxy.h"
#include "platform/environment.h"
#include "platform/process/child_process.h"
#include "support/process_state.h"
#include "tools/catalogue.h"

namespace zefra::bench {

struct BuiltHelper {
  // Only the folders; start() launches it.
  struct Unstarted {};
  explicit BuiltHelper(Unstarted) {
    char pattern[] = "/tmp/zefra-bench-XXXXXX";
    root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/runtime");
    std::filesystem::create_directories(root + "/home/.local/bin");
    std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
  }
  BuiltHelper() : BuiltHelper(Unstarted{}) { start(); }
  ~BuiltHelper() {
    if (process) {
      (void)process->signal(SIGTERM);
      process->wait();
    }
    std::filesystem::remove_all(root);
  }

  // Launches it and returns once it has answered a ping.
  void start() {
    auto env = platform::processEnvironment();
    env["ZEFRA_RUNTIME_DIR"] = root + "/runtime";
    env["XDG_CONFIG_HOME"] = root + "/config";
    env["HOME"] = root + "/home";
    env.erase("ZEFRA_LAUNCH_EVENT");
    platform::SpawnOptions options;
    options.executable = ZEFRA_BENCH_HELPER;
    options.environment = platform::environmentEntries(env);
    options.standardInput = platform::Stdio::nullDevice();
    process.emplace(std::move(platform::spawnProcess(options).value()));
    while (!connect()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  std::shared_ptr<client::RemoteProxy> connect() const {
    ipc::ConnectOptions options;
    options.runtimeDirectory = root + "/runtime";
    auto proxy = client::RemoteProxy::connect("group.com.ovak.zefra.helper", nullptr, options);
    if (!proxy || !(*proxy)->ping()) return nullptr;
    return *proxy;
  }

  // A catalogue name free of system copies, linked to `target` in the home.
  std::string install(const char* target, int skip = 0) const {
    for (auto name : tools::allowedTools) {
      std::string tool(name);
      if (access(("/usr/bin/" + tool).c_str(), F_OK) == 0 ||
          access(("/usr/local/bin/" + tool).c_str(), F_OK) == 0 || skip-- > 0) {
        continue;
      }
      std::filesystem::create_symlink(target, root + "/home/.local/bin/" + tool);
      return tool;
    }
    return "";
  }

  pid_t pid() const { return process->pid(); }
  long status(const char* field) const { return testing::procNumber(pid(), "status", field); }
  double idleMiB() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last reply's frees
    return static_cast<double>(status("VmRSS:")) / 1024.0;
  }

  std::string root;
  std::optional<platform::ChildProcess> process;
};

}  // namespace zefra::bench

#include "client/commands.h"

#include <signal.h>
#include <sysexits.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "client/remote_proxy.h"
#include "platform/pipe_io.h"
#include "platform/signal_watch.h"
#include "platform/uuid.h"
#include "xpc/interface.h"

namespace zefra::client {

namespace {

constexpr char kUsage[] =
    "usage: zefra-helper-client [--service NAME] COMMAND\n"
    "  ping                       print the helper's version\n"
    "  tools [--json]             list the installed tools: tool, version, path\n"
    "  run [--id RUNID] [--cwd DIR] [--env NAME=VALUE]... [--input FILE|-] TOOL [ARG...]\n"
    "                             run TOOL; its output becomes ours, its status our exit status\n"
    "  prepare-for-update         take the helper out of service (it exits shortly)\n"
    "  install-update ZIP         install a signed update; prints the helper's answer\n";

int usageError(const std::string& message) {
  std::cerr << "zefra-helper-client: " << message << "\n" << kUsage;
  return EX_USAGE;
}

int unreachable(const std::string& service, const platform::Error& error) {
  std::cerr << "zefra-helper-client: cannot reach the helper at " << service << ": "
            << error.message << "\n";
  return EX_UNAVAILABLE;
}

void writeOut(int fd, const platform::Bytes& bytes) {
  (void)platform::writeAll(fd, bytes.view());
}

int ping(RemoteProxy& proxy, const std::string& service) {
  auto version = proxy.ping();
  if (!version) return unreachable(service, version.error());
  std::cout << *version << "\n";
  return EX_OK;
}

int tools(RemoteProxy& proxy, const std::string& service, bool json) {
  auto inventory = proxy.toolInventory();
  if (!inventory) return unreachable(service, inventory.error());
  if (json) {
    std::cout << nlohmann::json(*inventory).dump(2) << "\n";
    return EX_OK;
  }
  std::size_t toolWidth = 4, versionWidth = 7;
  for (const auto& [tool, entry] : *inventory) {
    toolWidth = std::max(toolWidth, tool.size());
    versionWidth = std::max(versionWidth, entry.at("version").size());
  }
  auto row = [&](const std::string& tool, const std::string& version, const std::string& path) {
    std::cout << tool << std::string(toolWidth - tool.size() + 2, ' ') << version
              << std::string(versionWidth - version.size() + 2, ' ') << path << "\n";
  };
  row("TOOL", "VERSION", "PATH");
  for (const auto& [tool, entry] : *inventory) row(tool, entry.at("version"), entry.at("path"));
  return EX_OK;
}

std::optional<std::string> readInput(const std::string& source) {
  if (source == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  std::ifstream file(source, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

int run(const std::string& service, const platform::ConnectOptions& connectOptions,
        std::vector<std::string>::const_iterator arg, std::vector<std::string>::const_iterator end) {
  std::string runID = platform::randomUuid();
  std::optional<std::string> workingDirectory;
  std::optional<std::string> inputSource;
  xpc::Environment environment;
  for (; arg != end && arg->rfind("--", 0) == 0; ++arg) {
    const std::string option = *arg;
    if (option == "--") {
      ++arg;
      break;
    }
    if (++arg == end) return usageError(option + " needs a value");
    if (option == "--id") {
      runID = *arg;
    } else if (option == "--cwd") {
      workingDirectory = *arg;
    } else if (option == "--input") {
      inputSource = *arg;
    } else if (option == "--env") {
      auto equals = arg->find('=');
      if (equals == std::string::npos || equals == 0) return usageError("--env takes NAME=VALUE");
      environment.insert_or_assign(arg->substr(0, equals), arg->substr(equals + 1));
    } else {
      return usageError("unknown option " + option);
    }
  }
  if (arg == end) return usageError("run needs a tool");
  const std::string tool = *arg++;
  std::vector<std::string> arguments(arg, end);

  // No --input sends no input at all; an empty file sends empty input.
  std::optional<platform::Bytes> input;
  if (inputSource) {
    auto bytes = readInput(*inputSource);
    if (!bytes) {
      std::cerr << "zefra-helper-client: cannot read " << *inputSource << "\n";
      return EX_NOINPUT;
    }
    input = platform::Bytes(std::move(*bytes));
  }

  // Block the signals before the connection's threads start. An interrupt
  // that comes while connecting is sent as soon as the connection exists:
  // it then precedes the run on the connection, which ends the run at launch.
  std::shared_ptr<RemoteProxy> proxy;
  bool interrupted = false;
  std::mutex proxyLock;
  platform::SignalWatch interrupts({SIGINT, SIGTERM}, [&](int) {
    std::lock_guard lock(proxyLock);
    // The run's own reply still comes, with the status of its end.
    if (proxy) {
      proxy->cancelWithRunID(runID);
    } else {
      interrupted = true;
    }
  });
  auto connected = RemoteProxy::connect(service, nullptr, connectOptions);
  if (!connected) return unreachable(service, connected.error());
  {
    std::lock_guard lock(proxyLock);
    proxy = connected.value();
    if (interrupted) proxy->cancelWithRunID(runID);
  }
  auto result = proxy->run(runID, tool, std::move(arguments), std::move(input), workingDirectory,
                           std::move(environment));
  if (!result) return unreachable(service, result.error());
  writeOut(STDOUT_FILENO, result->standardOutput);
  writeOut(STDERR_FILENO, result->standardError);
  return result->status & 0xff;
}

// Exit 0 for YES, 1 for NO; the helper's message (when it sends one) is printed.
int update(const std::string& service, const platform::ConnectOptions& connectOptions,
           const std::string& command, const std::vector<std::string>& rest) {
  const bool install = command == "install-update";
  if (rest.size() != (install ? 1u : 0u)) {
    return usageError(install ? "install-update needs one archive" : "unexpected argument");
  }
  auto proxy = RemoteProxy::connect(service, nullptr, connectOptions);
  if (!proxy) return unreachable(service, proxy.error());
  if (!install) {
    auto ok = (*proxy)->prepareForUpdate();
    if (!ok) return unreachable(service, ok.error());
    std::cout << (*ok ? "YES" : "NO") << "\n";
    return *ok ? EX_OK : 1;
  }
  // The helper runs elsewhere; a relative path means ours.
  std::error_code ignored;
  auto reply = (*proxy)->installUpdate(std::filesystem::absolute(rest[0], ignored).string());
  if (!reply) return unreachable(service, reply.error());
  std::cout << reply->second << "\n";
  return reply->first ? EX_OK : 1;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args) {
  std::string service(xpc::machServiceNames[0]);
  platform::ConnectOptions connectOptions;
  auto arg = args.begin();
  for (; arg != args.end() && arg->rfind("--", 0) == 0; ++arg) {
    if (*arg == "--help") {
      std::cout << kUsage;
      return EX_OK;
    }
    if (*arg != "--service") return usageError("unknown option " + *arg);
    if (++arg == args.end()) return usageError("--service needs a name");
    service = *arg;
  }
  if (arg == args.end()) return usageError("no command given");
  const std::string command = *arg++;
  std::vector<std::string> rest(arg, args.end());

  if (command == "run") return run(service, connectOptions, rest.begin(), rest.end());
  if (command == "prepare-for-update" || command == "install-update") {
    return update(service, connectOptions, command, rest);
  }
  bool json = false;
  for (const auto& option : rest) {
    if (command == "tools" && option == "--json") {
      json = true;
    } else {
      return usageError("unexpected argument " + option);
    }
  }
  if (command != "ping" && command != "tools") return usageError("unknown command " + command);

  auto proxy = RemoteProxy::connect(service, nullptr, connectOptions);
  if (!proxy) return unreachable(service, proxy.error());
  return command == "ping" ? ping(**proxy, service) : tools(**proxy, service, json);
}

}  // namespace zefra::client

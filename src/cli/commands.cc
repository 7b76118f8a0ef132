#include "cli/commands.h"

#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <variant>

#include "base/random.h"
#include "base/utf8.h"
#include "cli/descriptor_stream.h"
#include "cli/help.h"
#include "cli/streamed_run.h"
#include "client/remote_proxy.h"
#include "platform/dispatch/signal_watch.h"
#include "platform/files/files.h"
#include "platform/files/pipe_io.h"
#include "platform/process/process_exit.h"
#include "platform/process/process_resources.h"
#include "wire/frame.h"
#include "xpc/interface.h"

namespace zefra::client {

namespace {

namespace fs = std::filesystem;

constexpr char kSelf[] = "zefra-helper-client: ";
constexpr std::size_t kCallLimit = wire::kMaxCallFrameSize;
constexpr char kCallLimitText[] = "the helper's limit of 64 MiB for one call";

struct Target {
  std::string service;
  ipc::ConnectOptions options;
};

int fail(int status, const std::string& message) {
  std::cerr << kSelf << message << "\n";
  return status;
}

int usageError(std::string_view command, const std::string& message) {
  std::cerr << kSelf << message << "\nTry 'zefra-helper-client "
            << (command.empty() ? "" : std::string(command) + " ") << "--help'.\n";
  return EX_USAGE;
}

int unreachable(const Target& target, const base::Error& error) {
  if (error.code == ipc::kServedByAnotherUser) {
    return fail(EX_NOPERM, "refusing the helper at " + target.service + ": " + error.message +
                               "; nothing was sent to it");
  }
  return fail(EX_UNAVAILABLE, "cannot reach the helper at " + target.service + ": " +
                                  error.message +
                                  " (is it running, with the same ZEFRA_RUNTIME_DIR as ours?)");
}

// What a call that failed after the connection was accepted means.
int lost(const Target& target, const base::Error& error) {
  if (error.kind == base::ErrorKind::kLimitExceeded) {
    return fail(EX_NOINPUT, std::string("the call (input, arguments and environment) exceeds ") +
                                kCallLimitText);
  }
  return fail(EX_UNAVAILABLE, "lost the helper at " + target.service + ": " + error.message);
}

int notText(const std::string& what) {
  return fail(EX_DATAERR, what + " is not valid UTF-8; the helper takes text only");
}

// The helper refuses a client by closing the connection before it answers
// anything; so every command pings first, and a connection that ends under
// that first call was refused, not lost.
struct Session {
  std::shared_ptr<RemoteProxy> proxy;
  std::string version;
  int failure = EX_OK;
};

Session open(const Target& target) {
  auto proxy = RemoteProxy::connect(target.service, nullptr, target.options);
  if (!proxy) return {nullptr, {}, unreachable(target, proxy.error())};
  auto version = (*proxy)->ping();
  if (version) return {*proxy, *version, EX_OK};
  if (version.error().kind != base::ErrorKind::kRefused) {
    return {nullptr, {}, lost(target, version.error())};
  }
  return {nullptr,
          {},
          fail(EX_NOPERM, "the helper at " + target.service +
                              " refused this client: it serves only unaltered programs signed "
                              "by the maker's team and run by the same user (start the helper "
                              "with --verbose to log why)")};
}

int ping(const Target& target) {
  Session session = open(target);
  if (session.failure != EX_OK) return session.failure;
  std::cout << session.version << "\n";
  return EX_OK;
}

// An inventory entry may leave out what it does not know.
std::string field(const std::map<std::string, std::string>& entry, const std::string& name) {
  auto found = entry.find(name);
  return found == entry.end() ? std::string() : found->second;
}

int tools(const Target& target, bool json) {
  Session session = open(target);
  if (session.failure != EX_OK) return session.failure;
  auto inventory = session.proxy->toolInventory();
  if (!inventory) return lost(target, inventory.error());
  if (json) {
    std::cout << nlohmann::json(*inventory).dump(2) << "\n";
    return EX_OK;
  }
  std::size_t toolWidth = 4, versionWidth = 7;
  for (const auto& [tool, entry] : *inventory) {
    toolWidth = std::max(toolWidth, tool.size());
    versionWidth = std::max(versionWidth, field(entry, "version").size());
  }
  auto row = [&](const std::string& tool, const std::string& version, const std::string& path) {
    std::cout << tool << std::string(toolWidth - tool.size() + 2, ' ') << version
              << std::string(versionWidth - version.size() + 2, ' ') << path << "\n";
  };
  row("TOOL", "VERSION", "PATH");
  for (const auto& [tool, entry] : *inventory) {
    row(tool, field(entry, "version"), field(entry, "path"));
  }
  return EX_OK;
}

// The input, or the exit status of why there is none.
std::variant<base::Bytes, int> readInput(const std::string& source) {
  const bool standardInput = source == "-";
  base::UniqueFd file;
  if (!standardInput) {
    std::error_code error;
    if (fs::is_directory(source, error)) return fail(EX_NOINPUT, source + " is a directory");
    auto identity = platform::fileIdentity(source);
    if (identity && static_cast<std::size_t>(identity->size) > kCallLimit) {
      return fail(EX_NOINPUT, source + " (" + std::to_string(identity->size) +
                                  " bytes) is larger than " + kCallLimitText);
    }
    auto opened = platform::openForReading(source);
    if (!opened) {
      return fail(EX_NOINPUT, "cannot read " + source + ": " + std::strerror(opened.error().code));
    }
    file = std::move(*opened);
  }
  auto data = platform::readToEnd(standardInput ? STDIN_FILENO : file.get(), kCallLimit);
  if (!data && data.error().code == EFBIG) {
    return fail(EX_NOINPUT, "the input is larger than " + std::string(kCallLimitText));
  }
  // Input cut short by an error would pass for the whole of it.
  if (!data) {
    return fail(EX_IOERR, "cannot read " +
                              (standardInput ? std::string("standard input") : source) + ": " +
                              std::strerror(data.error().code));
  }
  return base::Bytes(std::move(*data));
}

// `directory` made absolute against our own working directory.
std::variant<std::string, int> absoluteDirectory(const std::string& directory) {
  fs::path path(directory);
  if (path.is_relative()) {
    std::error_code error;
    fs::path here = fs::current_path(error);
    if (error) {
      return fail(EX_NOINPUT, "cannot tell our working directory (" + error.message() +
                                  "); give --cwd an absolute path or use --helper-cwd");
    }
    path = here / path;
  }
  // ".." stays: after a symlink it does not mean the lexical parent.
  bool climbs = false;
  for (const auto& part : path) climbs = climbs || part == "..";
  if (!climbs) path = path.lexically_normal();
  std::string text = path.string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Ctrl-C and SIGTERM during a run: the first sends a cancel, and the run's
// own reply, which normally follows within the helper's SIGKILL pass (2 s),
// ends the client with the tool's status. Should no reply come within
// kCancelPatience (a helper that hangs, or a connection that never got
// going), or a second signal arrive, the client ends as the signal would
// have ended it.
constexpr auto kCancelPatience = std::chrono::seconds(3);

class Interrupt : public std::enable_shared_from_this<Interrupt> {
 public:
  explicit Interrupt(std::string runID) : runID_(std::move(runID)) {}

  // On the signal watch's thread. A second signal ends the client without
  // waiting for anything, a lock or a stream included.
  void signalled(int signal) {
    if (signalled_.exchange(true)) platform::exitBySignal(signal);
    std::lock_guard lock(mu_);
    signal_ = signal;
    const bool answered = finishing_;
    if (proxy_ && !answered) proxy_->cancelWithRunID(runID_);
    std::thread([self = shared_from_this(), answered] {
      self->endUnlessAnswered(answered);
    }).detach();
  }
  void connected(std::shared_ptr<RemoteProxy> proxy) {
    std::lock_guard lock(mu_);
    proxy_ = std::move(proxy);
    if (signal_ != 0) proxy_->cancelWithRunID(runID_);
  }
  // The reply (or the connection's error) is in: from here on the client
  // ends by itself, and a signal cuts its output short only where writing
  // it has been stuck for kCancelPatience.
  void finishing() {
    std::lock_guard lock(mu_);
    finishing_ = true;
    answered_.notify_all();
  }

 private:
  // `answered`: the signal came after the reply, when only writing it out
  // is left, to outputs that a reader may never take.
  void endUnlessAnswered(bool answered) {
    int signal;
    {
      std::unique_lock lock(mu_);
      const auto replied = [&] { return !answered && finishing_.load(); };
      if (answered_.wait_for(lock, kCancelPatience, replied)) return;
      signal = signal_;
    }
    // Said only where it fits now: a standard error nobody reads must not
    // keep the client from ending.
    if (!answered && platform::writableNow(STDERR_FILENO)) {
      std::cerr << kSelf << "no reply from the helper " << kCancelPatience.count()
                << " s after the interrupt; giving up on it\n";
    }
    platform::exitBySignal(signal);
  }

  const std::string runID_;
  std::mutex mu_;
  std::condition_variable answered_;
  std::shared_ptr<RemoteProxy> proxy_;
  int signal_ = 0;                      // mu_
  std::atomic<bool> signalled_{false};  // a first signal came
  std::atomic<bool> finishing_{false};  // set with mu_ held
};

int run(const Target& target, std::vector<std::string>::const_iterator arg,
        std::vector<std::string>::const_iterator end) {
  std::string runID = base::randomUuid();
  std::optional<std::string> cwdOption;
  bool helperCwd = false;
  std::optional<std::string> inputSource;
  xpc::Environment environment;
  xpc::RunOptions runOptions;
  runOptions.stream = true;
  // Our runs end with us, even when we are killed and cannot cancel them.
  runOptions.cancelOnDisconnect = true;
  for (; arg != end && arg->starts_with("-"); ++arg) {
    const std::string option = *arg;
    if (option == "--") {
      ++arg;
      break;
    }
    if (isHelpOption(option)) {
      std::cout << *commandHelp("run");
      return EX_OK;
    }
    if (option == "--helper-cwd" || option == "--no-network") {
      (option == "--helper-cwd" ? helperCwd : runOptions.noNetwork) = true;
      continue;
    }
    if (option != "--id" && option != "--cwd" && option != "--input" && option != "--env" &&
        option != "--timeout" && option != "--output-limit" && option != "--confine") {
      return usageError("run", "unknown option " + option);
    }
    if (++arg == end) return usageError("run", option + " needs a value");
    if (option == "--timeout") {
      auto seconds = parseSeconds(*arg);
      if (!seconds) return usageError("run", "--timeout takes seconds, such as 60 or 2.5");
      runOptions.timeout = *seconds;
    } else if (option == "--output-limit") {
      auto bytes = parseByteCount(*arg);
      if (!bytes) return usageError("run", "--output-limit takes a number of bytes");
      runOptions.outputLimit = *bytes;
    } else if (option == "--confine") {
      auto directory = absoluteDirectory(*arg);
      if (auto* status = std::get_if<int>(&directory)) return *status;
      runOptions.confine.push_back(std::get<std::string>(std::move(directory)));
      if (!base::isValidUtf8(runOptions.confine.back())) return notText("a --confine folder");
    } else if (option == "--id") {
      runID = *arg;
    } else if (option == "--cwd") {
      cwdOption = *arg;
    } else if (option == "--input") {
      inputSource = *arg;
    } else {
      auto equals = arg->find('=');
      if (equals == std::string::npos || equals == 0) {
        return usageError("run", "--env takes NAME=VALUE");
      }
      environment.insert_or_assign(arg->substr(0, equals), arg->substr(equals + 1));
    }
  }
  if (arg == end) return usageError("run", "run needs a tool");
  if (cwdOption && helperCwd) return usageError("run", "--cwd and --helper-cwd exclude each other");
  const std::string tool = *arg++;
  std::vector<std::string> arguments(arg, end);

  if (!base::isValidUtf8(runID)) return notText("the run ID");
  if (!base::isValidUtf8(tool)) return notText("the tool name");
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!base::isValidUtf8(arguments[i])) return notText("argument " + std::to_string(i + 1));
  }
  for (const auto& [name, value] : environment) {
    if (!base::isValidUtf8(name) || !base::isValidUtf8(value)) return notText("an --env entry");
  }
  std::optional<std::string> workingDirectory;
  if (!helperCwd) {
    auto directory = absoluteDirectory(cwdOption.value_or("."));
    if (auto* status = std::get_if<int>(&directory)) return *status;
    workingDirectory = std::get<std::string>(std::move(directory));
    if (!base::isValidUtf8(*workingDirectory)) return notText("the working directory");
  }

  // No --input sends no input at all; an empty file sends empty input.
  std::optional<base::Bytes> input;
  if (inputSource) {
    auto read = readInput(*inputSource);
    if (auto* status = std::get_if<int>(&read)) return *status;
    input = std::get<base::Bytes>(std::move(read));
  } else if (platform::carriesData(STDIN_FILENO)) {
    std::cerr << kSelf
              << "note: standard input is not sent to the tool; add --input - to send it\n";
  }

  // Block the signals before the connection's threads start. An interrupt
  // that comes while connecting is sent as soon as the connection exists:
  // it then precedes the run on the connection, which ends the run at launch.
  auto interrupt = std::make_shared<Interrupt>(runID);
  platform::SignalWatch interrupts({SIGINT, SIGTERM},
                                   [interrupt](int signal) { interrupt->signalled(signal); });
  Session session = open(target);
  if (session.failure != EX_OK) return session.failure;
  interrupt->connected(session.proxy);
  RunPrinter printer;
  auto outcome =
      session.proxy->run(runID, tool, std::move(arguments), std::move(input), workingDirectory,
                         std::move(environment), runOptions, printer.chunks());
  interrupt->finishing();
  if (!outcome) return lost(target, outcome.error());
  return printer.finish(*outcome, runOptions);
}

int cancel(const Target& target, const std::vector<std::string>& rest) {
  if (rest.size() != 1) return usageError("cancel", "cancel needs one run ID");
  if (!base::isValidUtf8(rest[0])) return notText("the run ID");
  Session session = open(target);
  if (session.failure != EX_OK) return session.failure;
  session.proxy->cancelWithRunID(rest[0]);
  // The cancel has no reply; a ping behind it shows it arrived.
  auto after = session.proxy->ping();
  return after ? EX_OK : lost(target, after.error());
}

// Exit 0 for YES, 1 for NO; the helper's message (when it sends one) is printed.
int update(const Target& target, const std::string& command, const std::vector<std::string>& rest) {
  const bool install = command == "install-update";
  if (rest.size() != (install ? 1u : 0u)) {
    return usageError(
        command, install ? "install-update needs one archive" : "unexpected argument " + rest[0]);
  }
  std::string archive;
  if (install) {
    // The helper runs elsewhere; a relative path means ours.
    std::error_code ignored;
    archive = fs::absolute(rest[0], ignored).string();
    if (!base::isValidUtf8(archive)) return notText("the archive's path");
  }
  Session session = open(target);
  if (session.failure != EX_OK) return session.failure;
  if (!install) {
    auto ok = session.proxy->prepareForUpdate();
    if (!ok) return lost(target, ok.error());
    std::cout << (*ok ? "YES" : "NO") << "\n";
    return *ok ? EX_OK : 1;
  }
  auto reply = session.proxy->installUpdate(archive);
  if (!reply) return lost(target, reply.error());
  std::cout << reply->second << "\n";
  return reply->first ? EX_OK : 1;
}

int dispatch(const std::vector<std::string>& args) {
  Target target{std::string(xpc::machServiceNames[0]), {}};
  auto arg = args.begin();
  for (; arg != args.end() && arg->starts_with("-"); ++arg) {
    if (isHelpOption(*arg)) {
      std::cout << generalHelp();
      return EX_OK;
    }
    if (*arg != "--service") return usageError("", "unknown option " + *arg);
    if (++arg == args.end()) return usageError("", "--service needs a name");
    target.service = *arg;
  }
  if (arg == args.end()) return usageError("", "no command given");
  const std::string command = *arg++;
  std::vector<std::string> rest(arg, args.end());
  if (!commandHelp(command)) return usageError("", "unknown command " + command);

  // Everything after run's tool belongs to the tool, --help included.
  if (command == "run") return run(target, rest.begin(), rest.end());
  for (const auto& option : rest) {
    if (isHelpOption(option)) {
      std::cout << *commandHelp(command);
      return EX_OK;
    }
  }
  if (command == "cancel") return cancel(target, rest);
  if (command == "prepare-for-update" || command == "install-update") {
    return update(target, command, rest);
  }
  bool json = false;
  for (const auto& option : rest) {
    if (command == "tools" && option == "--json") {
      json = true;
    } else {
      return usageError(command, "unexpected argument " + option);
    }
  }
  return command == "ping" ? ping(target) : tools(target, json);
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args) {
  platform::openMissingStandardDescriptors();
  StreamOverDescriptor out(std::cout, STDOUT_FILENO);
  StreamOverDescriptor err(std::cerr, STDERR_FILENO);
  const int status = dispatch(args);
  const int failure = out.failure();
  if (failure == 0) return status;
  return fail(EX_IOERR, std::string("cannot write standard output: ") + std::strerror(failure));
}

}  // namespace zefra::client

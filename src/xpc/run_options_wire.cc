#include "xpc/run_options_wire.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "platform/process/output_sink.h"

namespace zefra::xpc {

using wire::ipcViolation;
using Kind = IpcValue::Kind;

namespace {

constexpr std::string_view kStream = "stream";
constexpr std::string_view kTimeout = "timeout";
constexpr std::string_view kOutputLimit = "outputLimit";
constexpr std::string_view kCancelOnDisconnect = "cancelOnDisconnect";
constexpr std::string_view kConfine = "confine";
constexpr std::string_view kNoNetwork = "noNetwork";

constexpr std::string_view kExitStatus = "exitStatus";
constexpr std::string_view kSignal = "signal";
constexpr std::string_view kFailure = "failure";
constexpr std::string_view kMessage = "message";
constexpr std::string_view kCancelled = "cancelled";
constexpr std::string_view kTimedOut = "timedOut";
constexpr std::string_view kStandardOutputTruncated = "standardOutputTruncated";
constexpr std::string_view kStandardErrorTruncated = "standardErrorTruncated";
constexpr std::string_view kDuration = "duration";
constexpr std::string_view kStandardOutput = "standardOutput";
constexpr std::string_view kStandardError = "standardError";

constexpr std::pair<RunFailure, std::string_view> kFailureNames[] = {
    {RunFailure::kNotAvailable, "notAvailable"},
    {RunFailure::kLaunchFailed, "launchFailed"},
    {RunFailure::kRefused, "refused"},
};

IpcValue key(std::string_view name) {
  return IpcValue::string(std::string(name));
}

// A number of either kind, as seconds; nothing for anything else.
std::optional<double> secondsOf(const IpcValue& value) {
  if (value.kind() == Kind::kInt) return static_cast<double>(value.asInt());
  if (value.kind() == Kind::kReal) return value.asReal();
  return std::nullopt;
}

std::optional<std::int32_t> int32Of(const IpcValue& value) {
  if (value.kind() != Kind::kInt || value.asInt() < std::numeric_limits<std::int32_t>::min() ||
      value.asInt() > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value.asInt());
}

}  // namespace

Result<RunOptions> readRunOptions(const IpcValue& value) {
  RunOptions options;
  if (value.isNil()) return options;
  if (value.kind() != Kind::kMap) return ipcViolation("run options are not a dictionary");
  for (const auto& [name, entry] : value.entries()) {
    if (name.kind() != Kind::kString) return ipcViolation("a run option's name is not a string");
    const std::string_view option = name.asString();
    auto refuse = [&](const char* expected) {
      return ipcViolation("run option " + std::string(option) + " is not " + expected);
    };
    if (option == kStream || option == kCancelOnDisconnect || option == kNoNetwork) {
      if (entry.kind() != Kind::kBool) return refuse("a boolean");
      (option == kStream               ? options.stream
       : option == kCancelOnDisconnect ? options.cancelOnDisconnect
                                       : options.noNetwork) = entry.asBool();
    } else if (option == kConfine) {
      if (entry.kind() != Kind::kArray) return refuse("an array of directories");
      for (const auto& directory : entry.elements()) {
        if (directory.kind() != Kind::kString) return refuse("an array of directories");
        options.confine.emplace_back(directory.asString());
      }
    } else if (option == kTimeout) {
      std::optional<double> seconds = secondsOf(entry);
      if (!seconds || !std::isfinite(*seconds) || *seconds < 0) {
        return refuse("a finite number of seconds, 0 or more");
      }
      options.timeout = *seconds;
    } else if (option == kOutputLimit) {
      if (entry.kind() != Kind::kInt || entry.asInt() < 0) return refuse("an integer, 0 or more");
      options.outputLimit = static_cast<std::uint64_t>(entry.asInt());
    } else {
      return ipcViolation("unknown run option " + std::string(option));
    }
  }
  return options;
}

IpcValue writeRunOptions(const RunOptions& options) {
  IpcValue::Map entries;
  entries.push_back({key(kStream), IpcValue::boolean(options.stream)});
  entries.push_back({key(kCancelOnDisconnect), IpcValue::boolean(options.cancelOnDisconnect)});
  if (options.noNetwork) entries.push_back({key(kNoNetwork), IpcValue::boolean(true)});
  if (!options.confine.empty()) {
    std::vector<IpcValue> directories;
    for (const auto& directory : options.confine) directories.push_back(key(directory));
    entries.push_back({key(kConfine), IpcValue::array(std::move(directories))});
  }
  if (options.timeout > 0) entries.push_back({key(kTimeout), IpcValue::real(options.timeout)});
  if (options.outputLimit) {
    const auto limit =
        std::min<std::uint64_t>(*options.outputLimit, std::numeric_limits<std::int64_t>::max());
    entries.push_back({key(kOutputLimit), IpcValue::integer(static_cast<std::int64_t>(limit))});
  }
  return IpcValue::map(std::move(entries));
}

Result<RunOutcome> readRunOutcome(const IpcValue& value) {
  if (value.kind() != Kind::kMap) return ipcViolation("a run's outcome is not a dictionary");
  RunOutcome outcome;
  auto wrong = [](std::string_view name) {
    return ipcViolation("a run's outcome holds a " + std::string(name) + " of the wrong kind");
  };
  for (const auto& [name, entry] : value.entries()) {
    if (name.kind() != Kind::kString) return ipcViolation("a run's outcome has a key not a string");
    const std::string_view field = name.asString();
    if (field == kExitStatus || field == kSignal) {
      std::optional<std::int32_t> number = int32Of(entry);
      if (!number) return wrong(field);
      (field == kExitStatus ? outcome.exitStatus : outcome.signal) = number;
    } else if (field == kFailure) {
      if (entry.kind() != Kind::kString) return wrong(field);
      for (const auto& [failure, text] : kFailureNames) {
        if (entry.asString() == text) outcome.failure = failure;
      }
      if (!outcome.failure) return wrong(field);
    } else if (field == kMessage) {
      if (entry.kind() != Kind::kString) return wrong(field);
      outcome.message = std::string(entry.asString());
    } else if (field == kCancelled || field == kTimedOut || field == kStandardOutputTruncated ||
               field == kStandardErrorTruncated) {
      if (entry.kind() != Kind::kBool) return wrong(field);
      bool& flag = field == kCancelled                 ? outcome.cancelled
                   : field == kTimedOut                ? outcome.timedOut
                   : field == kStandardOutputTruncated ? outcome.standardOutputTruncated
                                                       : outcome.standardErrorTruncated;
      flag = entry.asBool();
    } else if (field == kDuration) {
      std::optional<double> seconds = secondsOf(entry);
      if (!seconds) return wrong(field);
      outcome.duration = *seconds;
    } else if (field == kStandardOutput || field == kStandardError) {
      if (entry.kind() != Kind::kData) return wrong(field);
      (field == kStandardOutput ? outcome.standardOutput : outcome.standardError) = entry.bytes();
    }
  }
  const int ends =
      outcome.exitStatus.has_value() + outcome.signal.has_value() + outcome.failure.has_value();
  if (ends != 1) {
    return ipcViolation("a run's outcome must hold exactly one of exitStatus, signal, failure");
  }
  return outcome;
}

IpcValue writeRunOutcome(RunOutcome outcome, BadText bad) {
  IpcValue::Map entries;
  if (outcome.failure) {
    for (const auto& [failure, text] : kFailureNames) {
      if (*outcome.failure == failure) entries.push_back({key(kFailure), key(text)});
    }
    entries.push_back({key(kMessage), writeString(std::move(outcome.message), bad)});
  } else if (outcome.signal) {
    entries.push_back({key(kSignal), IpcValue::integer(*outcome.signal)});
  } else {
    entries.push_back({key(kExitStatus), IpcValue::integer(outcome.exitStatus.value_or(-1))});
  }
  entries.push_back({key(kCancelled), IpcValue::boolean(outcome.cancelled)});
  entries.push_back({key(kTimedOut), IpcValue::boolean(outcome.timedOut)});
  entries.push_back(
      {key(kStandardOutputTruncated), IpcValue::boolean(outcome.standardOutputTruncated)});
  entries.push_back(
      {key(kStandardErrorTruncated), IpcValue::boolean(outcome.standardErrorTruncated)});
  entries.push_back({key(kDuration), IpcValue::real(outcome.duration)});
  entries.push_back({key(kStandardOutput), IpcValue::data(std::move(outcome.standardOutput))});
  entries.push_back({key(kStandardError), IpcValue::data(std::move(outcome.standardError))});
  return IpcValue::map(std::move(entries));
}

std::vector<IpcValue> writeRunChunk(int stream, Bytes chunk) {
  std::vector<IpcValue> values;
  values.push_back(IpcValue::integer(stream));
  values.push_back(IpcValue::data(std::move(chunk)));
  return values;
}

Result<std::pair<int, Bytes>> readRunChunk(const std::vector<IpcValue>& values) {
  if (values.size() != 2 || values[0].kind() != Kind::kInt ||
      (values[0].asInt() != platform::kStandardOutputStream &&
       values[0].asInt() != platform::kStandardErrorStream) ||
      values[1].kind() != Kind::kData || values[1].bytes().empty()) {
    return ipcViolation("run output that is not [stream, chunk]");
  }
  return std::pair<int, Bytes>(static_cast<int>(values[0].asInt()), values[1].bytes());
}

}  // namespace zefra::xpc

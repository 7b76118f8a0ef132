#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "platform/process/output_sink.h"

// The second run operation's options and its answer, as the protocol's
// methods take and give them; docs/protocol.md has their wire form.
namespace zefra::xpc {

using base::Bytes;

struct RunOptions {
  // Standard output and error reach the caller while the tool runs, as
  // progress of the call; the reply then carries none of it.
  bool stream = false;
  // Seconds after which the run is ended as a cancel ends it; 0: never.
  double timeout = 0;
  // Bytes of each stream that are delivered or kept; the rest is read and
  // dropped, and the reply says so.
  std::optional<std::uint64_t> outputLimit;
  // The run is ended as a cancel ends it when its connection closes.
  bool cancelOnDisconnect = false;
  // Confinement: the tool may write only beneath these directories (absolute
  // paths of existing directories) and a private temporary directory of the
  // run's own, its TMPDIR.
  std::vector<std::string> confine;
  // Confinement: no TCP bind or connect.
  bool noNetwork = false;
  bool confined() const { return !confine.empty() || noNetwork; }
  friend bool operator==(const RunOptions&, const RunOptions&) = default;
};

// Why the helper ran no tool: not in the catalogue or not found (127 in the
// first run operation), not launched, or refused before anything was tried
// (a request it cannot pass on unchanged, a connection past its bounds);
// the last two are 126 in the first run operation.
enum class RunFailure { kNotAvailable, kLaunchFailed, kRefused };

struct RunOutcome {
  // Exactly one of the three.
  std::optional<std::int32_t> exitStatus;
  std::optional<std::int32_t> signal;
  std::optional<RunFailure> failure;
  // With a failure, the helper's message.
  std::string message;
  // A cancel (or the connection's end, with cancelOnDisconnect) ended it.
  bool cancelled = false;
  // The timeout ended it.
  bool timedOut = false;
  bool standardOutputTruncated = false;
  bool standardErrorTruncated = false;
  // Seconds from the launch until the tool had ended and its outputs closed.
  double duration = 0;
  // What was not streamed: everything kept, or nothing for a streaming run.
  Bytes standardOutput;
  Bytes standardError;
};

using RunOutcomeReply = std::function<void(RunOutcome outcome)>;
// Where a streaming run's chunks go, each with its stream
// (platform::kStandardOutputStream or kStandardErrorStream).
using RunOutput = platform::OutputSink;

}  // namespace zefra::xpc

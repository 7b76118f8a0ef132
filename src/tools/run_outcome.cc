#include "tools/run_outcome.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace zefra::tools {

void applyRunOptions(const xpc::RunOptions& options, const xpc::RunOutput& output,
                     RunControl& control, platform::CaptureOptions& capture) {
  if (options.stream && output.deliver) capture.sink = &output;
  if (options.outputLimit) {
    capture.outputLimit = static_cast<std::size_t>(
        std::min<std::uint64_t>(*options.outputLimit, std::numeric_limits<std::size_t>::max()));
  }
  capture.ended = &control.ended();
  capture.outputGraceAfterEnd = kOutputGraceAfterEnd;
  if (options.timeout > 0 && options.timeout < kLongestTimeout) {
    capture.deadline = base::Deadline::after(options.timeout);
    capture.atDeadline = [&control] {
      control.end(RunControl::Reason::kDeadline);
      return base::Deadline::after(kOutputGraceAfterEnd);
    };
  }
}

xpc::RunOutcome outcomeOf(platform::Captured captured, const RunControl& control,
                          std::chrono::steady_clock::duration took) {
  xpc::RunOutcome outcome;
  const int status = captured.status.value_or(-1);
  if (captured.bySignal) {
    outcome.signal = status;
  } else {
    outcome.exitStatus = status;
  }
  // A cancel that found only a leftover holding the outputs ended the wait.
  outcome.cancelled = control.cancelled() || (captured.outputsCutShort && control.endAsked());
  outcome.timedOut = control.timedOut();
  outcome.standardOutputTruncated = captured.standardOutputTruncated;
  outcome.standardErrorTruncated = captured.standardErrorTruncated;
  outcome.duration = std::chrono::duration<double>(took).count();
  outcome.standardOutput = std::move(captured.standardOutput);
  outcome.standardError = std::move(captured.standardError);
  return outcome;
}

xpc::RunOutcome failedRun(xpc::RunFailure failure, std::string message) {
  xpc::RunOutcome outcome;
  outcome.failure = failure;
  outcome.message = std::move(message);
  return outcome;
}

}  // namespace zefra::tools

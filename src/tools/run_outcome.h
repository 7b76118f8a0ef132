#pragma once

#include <chrono>

#include "platform/process/capture.h"
#include "tools/run_control.h"
#include "xpc/run_options.h"

// What a run's options change in how its tool is captured, and what the run
// says at its end.
namespace zefra::tools {

// Timeouts beyond this are taken as none: no run lasts a few years.
inline constexpr double kLongestTimeout = 1e8;
// After the deadline, a cancel or the connection's end has ended a run's
// tree, how long its outputs are still waited for: a descendant that escaped
// the ending and holds them open does not keep the run for ever.
inline constexpr double kOutputGraceAfterEnd = 3.0;

// A streaming run hands its output to `output`; a timeout ends the run
// through `control`, whose every end cuts the wait for the outputs short; an
// output limit caps what is kept or streamed.
void applyRunOptions(const xpc::RunOptions& options, const xpc::RunOutput& output,
                     RunControl& control, platform::CaptureOptions& capture);

xpc::RunOutcome outcomeOf(platform::Captured captured, const RunControl& control,
                          std::chrono::steady_clock::duration took);
xpc::RunOutcome failedRun(xpc::RunFailure failure, std::string message);

}  // namespace zefra::tools

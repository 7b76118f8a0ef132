#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/deadline.h"
#include "base/result.h"
#include "platform/dispatch/event_flag.h"
#include "platform/process/child_process.h"

namespace zefra::platform {

struct CaptureOptions {
  // What to start; its three Stdio fields are replaced as below.
  SpawnOptions spawn;
  // Otherwise standard error goes to the null device.
  bool captureStandardError = true;
  // Otherwise standard input is the null device. The pipe gets `input`, then
  // is closed; a reader that goes away ends the writing, not the capture.
  bool inputFromPipe = true;
  std::string_view input;
  // When it passes, the capture stops and leaves the child running, unreaped.
  base::Deadline deadline = base::Deadline::never();
  // Runs once the child has started, before any input is written; false
  // closes the input unwritten.
  std::function<bool(const std::shared_ptr<ChildProcess>&)> launched;
  // Once raised, nobody wants the output: what was kept is let go and what
  // the child writes from then on is read and dropped. The capture still
  // ends when the child does.
  const EventFlag* dropOutput = nullptr;
};

struct Captured {
  std::shared_ptr<ChildProcess> process;
  // A stream whose reading failed is empty, even if some bytes had arrived.
  Bytes standardOutput;
  Bytes standardError;
  // The termination status as ChildProcess::wait() gives it; nothing when the
  // deadline came first.
  std::optional<int> status;
};

// Starts a child on pipes and serves it from the calling thread alone: one
// poll over its outputs, the input still to be written and its pidfd. Returns
// once both outputs have reached end of file (so a background process holding
// them open delays it) and the child has exited and been reaped. Each output
// lands in storage of its own that grows without zero-filling or copying and
// goes back to the system as soon as the last Bytes viewing it is gone.
Result<Captured> captureProcess(const CaptureOptions& options);

}  // namespace zefra::platform

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
#include "platform/process/output_sink.h"

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
  // When it passes, the capture stops and leaves the child running, unreaped,
  // unless `atDeadline` is set.
  base::Deadline deadline = base::Deadline::never();
  // Called once when `deadline` passes; the capture then goes on, waits for
  // the child's exit, and stops waiting for its outputs at the deadline this
  // returns (descendants that hold them open are not waited for past it).
  std::function<base::Deadline()> atDeadline;
  // Raised once the child is ended from elsewhere (a cancel): the capture
  // goes on as after `atDeadline`, and stops waiting for the outputs
  // `outputGraceAfterEnd` seconds after the raise.
  const EventFlag* ended = nullptr;
  double outputGraceAfterEnd = 0;
  // At most this many bytes of each output are kept or delivered; the rest
  // is read and dropped, and the stream is marked truncated.
  std::optional<std::size_t> outputLimit;
  // Output goes to the sink as it is read instead of being kept, and
  // nothing is read while the sink is congested (the child then blocks on a
  // full pipe).
  const OutputSink* sink = nullptr;
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
  // Bytes past the output limit were dropped.
  bool standardOutputTruncated = false;
  bool standardErrorTruncated = false;
  // The termination status as ChildProcess::wait() gives it; nothing when the
  // deadline came first.
  std::optional<int> status;
  // A signal ended the child; `status` is its number.
  bool bySignal = false;
  // The outputs were let go at the grace after an end, still held open.
  bool outputsCutShort = false;
};

// Starts a child on pipes and serves it from the calling thread alone: one
// poll over its outputs, the input still to be written and its pidfd. Returns
// once both outputs have reached end of file (so a background process holding
// them open delays it) and the child has exited and been reaped. It is reaped
// as soon as it exits, unless it leads a process group of its own
// (SpawnOptions::newProcessGroup): that one is left unreaped until the end, so
// that a caller cut off at the deadline may still signal the group by its
// number. Each output lands in storage of its own that grows without
// zero-filling or copying and goes back to the system as soon as the last
// Bytes viewing it is gone.
Result<Captured> captureProcess(const CaptureOptions& options);

}  // namespace zefra::platform

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "xpc/run_options.h"

// How the command-line client's `run` shows a run: the tool's output as it
// comes, like a shell, and the run's end as our exit status.
namespace zefra::client {

// timeout(1)'s status for a run its deadline ended.
inline constexpr int kTimedOutStatus = 124;

// Writes a run's output to our own standard output and error, unbuffered.
// A closed output ends us by SIGPIPE, as it would end the tool in a shell;
// any other failed write (a full disk) is remembered, and that stream gets
// nothing more, so what it holds is a prefix of the tool's output rather
// than the output with a hole in it.
class RunPrinter {
 public:
  RunPrinter();

  // Each chunk as it comes.
  xpc::RunOutput chunks() const;

  // Says on standard error what the outcome adds to the output (the helper's
  // message, dropped output) and returns our exit status: the tool's status,
  // the signal's number when one ended it, 124 when the deadline did, 127 or
  // 126 when the helper ran nothing, and 74 (EX_IOERR) whatever the run's end
  // when some of its output could not be written.
  int finish(const xpc::RunOutcome& outcome, const xpc::RunOptions& options);

 private:
  struct Writes;
  // Shared with the chunk handler, which the connection may keep after the run.
  std::shared_ptr<Writes> writes_;
};

// "2.5" seconds for --timeout (0: none); nothing when it is not a number.
std::optional<double> parseSeconds(std::string_view text);
// A byte count for --output-limit; nothing when it is not one.
std::optional<std::uint64_t> parseByteCount(std::string_view text);

}  // namespace zefra::client

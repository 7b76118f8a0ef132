#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "xpc/run_options.h"

// How the command-line client's `run` shows a run: the tool's output as it
// comes, like a shell, and the run's end as our exit status.
namespace zefra::client {

// timeout(1)'s status for a run its deadline ended.
inline constexpr int kTimedOutStatus = 124;

// Each chunk to our own standard output or error, unbuffered. A closed
// output ends us by SIGPIPE, as it would end the tool in a shell; the run
// ends with our connection.
xpc::RunOutput printChunks();

// Says on standard error what the outcome adds to the output (the helper's
// message, dropped output) and returns our exit status: the tool's status,
// the signal's number when one ended it, 124 when the deadline did, 127 or
// 126 when the helper ran nothing.
int finishRun(const xpc::RunOutcome& outcome, const xpc::RunOptions& options);

// "2.5" seconds for --timeout (0: none); nothing when it is not a number.
std::optional<double> parseSeconds(std::string_view text);
// A byte count for --output-limit; nothing when it is not one.
std::optional<std::uint64_t> parseByteCount(std::string_view text);

}  // namespace zefra::client

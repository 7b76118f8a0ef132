#include "cli/streamed_run.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <iostream>
#include <string>

#include "platform/files/pipe_io.h"

namespace zefra::client {

xpc::RunOutput printChunks() {
  return xpc::RunOutput([](int stream, base::Bytes chunk) {
    (void)platform::writeAll(
        stream == platform::kStandardErrorStream ? STDERR_FILENO : STDOUT_FILENO, chunk.view());
  });
}

int finishRun(const xpc::RunOutcome& outcome, const xpc::RunOptions& options) {
  // Whatever the run kept rather than streamed.
  (void)platform::writeAll(STDOUT_FILENO, outcome.standardOutput.view());
  (void)platform::writeAll(STDERR_FILENO, outcome.standardError.view());
  if (outcome.failure) {
    std::cerr << "Zefra Helper: " << outcome.message << "\n";
    return outcome.failure == xpc::RunFailure::kNotAvailable ? 127 : 126;
  }
  for (auto [truncated, name] : {std::pair{outcome.standardOutputTruncated, "standard output"},
                                 std::pair{outcome.standardErrorTruncated, "standard error"}}) {
    if (!truncated) continue;
    std::cerr << "zefra-helper-client: note: the tool wrote more than "
              << options.outputLimit.value_or(0) << " bytes to " << name
              << "; the rest was dropped (--output-limit)\n";
  }
  if (outcome.timedOut) {
    std::cerr << "zefra-helper-client: the run was ended after " << options.timeout
              << " s (--timeout)\n";
    return kTimedOutStatus;
  }
  if (outcome.signal) return *outcome.signal & 0xff;
  return outcome.exitStatus.value_or(0) & 0xff;
}

std::optional<double> parseSeconds(std::string_view text) {
  double seconds = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
      seconds < 0) {
    return std::nullopt;
  }
  return seconds;
}

std::optional<std::uint64_t> parseByteCount(std::string_view text) {
  std::uint64_t bytes = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bytes);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return bytes;
}

}  // namespace zefra::client

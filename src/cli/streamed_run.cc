#include "cli/streamed_run.h"

#include <sysexits.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/pipe_io.h"

namespace zefra::client {

struct RunPrinter::Writes {
  void print(int stream, std::string_view bytes) {
    const bool error = stream == platform::kStandardErrorStream;
    std::lock_guard lock(mu);
    if (stopped[error] || bytes.empty()) return;
    auto written = platform::writeAll(error ? STDERR_FILENO : STDOUT_FILENO, bytes);
    if (written) return;
    stopped[error] = true;
    if (failure) return;
    failure = std::string(error ? "standard error: " : "standard output: ") +
              std::strerror(written.error().code);
  }

  std::mutex mu;
  bool stopped[2] = {false, false};    // standard output, standard error
  std::optional<std::string> failure;  // the first: which stream, and why
};

RunPrinter::RunPrinter() : writes_(std::make_shared<Writes>()) {}

xpc::RunOutput RunPrinter::chunks() const {
  return xpc::RunOutput(
      [writes = writes_](int stream, base::Bytes chunk) { writes->print(stream, chunk.view()); });
}

namespace {

int statusOf(const xpc::RunOutcome& outcome, const xpc::RunOptions& options) {
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

}  // namespace

int RunPrinter::finish(const xpc::RunOutcome& outcome, const xpc::RunOptions& options) {
  // Whatever the run kept rather than streamed.
  writes_->print(platform::kStandardOutputStream, outcome.standardOutput.view());
  writes_->print(platform::kStandardErrorStream, outcome.standardError.view());
  const int status = statusOf(outcome, options);
  std::lock_guard lock(writes_->mu);
  if (!writes_->failure) return status;
  // The tool's status would pass for output delivered whole.
  std::cerr << "zefra-helper-client: cannot write the tool's " << *writes_->failure
            << "; the rest of it was dropped\n";
  return EX_IOERR;
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

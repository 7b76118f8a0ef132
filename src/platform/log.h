#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zefra::platform {

// Writes one line, prefixed "Zefra Helper: " unless it already is, to stderr
// (one write) and to syslog (ident "zefra-helper", facility user). Line breaks
// inside `message` become spaces. Thread-safe.
void log(std::string_view message);

// The detailed log, off unless switched on: the same lines as log(), for
// what the helper does that it otherwise keeps to itself. Thread-safe.
void setVerboseLogging(bool enabled);
bool verboseLogging();
void logVerbose(std::string_view message);

// Whether the helper's arguments or ZEFRA_VERBOSE (set and not "0") ask for
// the detailed log.
bool verboseLoggingRequested(const std::vector<std::string>& arguments);
inline constexpr std::string_view kVerboseArgument = "--verbose";
inline constexpr char kVerboseVariable[] = "ZEFRA_VERBOSE";

// The line log() emits for `message`, without the trailing newline.
std::string logLine(std::string_view message);

// While alive, also records every logged line (as logLine gives it).
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<std::string> lines() const;

 private:
  friend void log(std::string_view message);
  std::vector<std::string> lines_;
};

}  // namespace zefra::platform

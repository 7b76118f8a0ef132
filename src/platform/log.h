#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zefra::platform {

// Writes one line, prefixed "Zefra Helper: " unless it already is, to stderr
// (one write) and to syslog (ident "zefra-helper", facility user). Line breaks
// inside `message` become spaces. Thread-safe.
void log(std::string_view message);

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

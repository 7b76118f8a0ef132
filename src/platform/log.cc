#include "platform/log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "base/no_destructor.h"
#include "platform/files/pipe_io.h"

namespace zefra::platform {
namespace {

constexpr std::string_view kPrefix = "Zefra Helper: ";

struct Captures {
  std::mutex mu;
  std::vector<ScopedLogCapture*> active;
};

std::atomic<int> activeCaptures{0};
std::atomic<bool> verbose{false};

Captures& captures() {
  static base::NoDestructor<Captures> instance;
  return instance.get();
}

void openSyslog() {
  static std::once_flag once;
  std::call_once(once, [] { ::openlog("zefra-helper", LOG_PID, LOG_USER); });
}

}  // namespace

std::string logLine(std::string_view message) {
  std::string line;
  if (!message.starts_with(kPrefix)) line = kPrefix;
  line += message;
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

void log(std::string_view message) {
  std::string line = logLine(message);
  openSyslog();
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  if (activeCaptures.load(std::memory_order_acquire) > 0) {
    Captures& c = captures();
    std::lock_guard lock(c.mu);
    for (ScopedLogCapture* capture : c.active) capture->lines_.push_back(line);
  }
  line += '\n';
  (void)writeAll(STDERR_FILENO, line);  // nowhere to report a failure
}

void setVerboseLogging(bool enabled) {
  verbose.store(enabled, std::memory_order_relaxed);
}

bool verboseLogging() {
  return verbose.load(std::memory_order_relaxed);
}

void logVerbose(std::string_view message) {
  if (verboseLogging()) log(message);
}

bool verboseLoggingRequested(const std::vector<std::string>& arguments) {
  for (const auto& argument : arguments) {
    if (argument == kVerboseArgument) return true;
  }
  const char* value = std::getenv(kVerboseVariable);
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

ScopedLogCapture::ScopedLogCapture() {
  Captures& c = captures();
  std::lock_guard lock(c.mu);
  c.active.push_back(this);
  activeCaptures.fetch_add(1, std::memory_order_release);
}

ScopedLogCapture::~ScopedLogCapture() {
  Captures& c = captures();
  std::lock_guard lock(c.mu);
  std::erase(c.active, this);
  activeCaptures.fetch_sub(1, std::memory_order_release);
}

std::vector<std::string> ScopedLogCapture::lines() const {
  std::lock_guard lock(captures().mu);
  return lines_;
}

}  // namespace zefra::platform

#include "platform/desktop/launch_event.h"

#include <cstdlib>
#include <mutex>

namespace zefra::platform {
namespace {

std::optional<std::uint32_t> parseCode(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  std::uint32_t code = 0;
  for (char c : text) {
    if (c < 0x20 || c > 0x7e) return std::nullopt;
    code = (code << 8) | static_cast<unsigned char>(c);
  }
  return code;
}

void appendCode(std::string& out, std::uint32_t code) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((code >> shift) & 0xff);
}

}  // namespace

std::optional<LaunchEvent> parseLaunchEvent(std::string_view text) {
  if (text.size() != 9 || text[4] != ':') return std::nullopt;
  auto eventClass = parseCode(text.substr(0, 4));
  auto eventID = parseCode(text.substr(5));
  if (!eventClass || !eventID) return std::nullopt;
  return LaunchEvent{*eventClass, *eventID};
}

std::string formatLaunchEvent(LaunchEvent event) {
  std::string text;
  appendCode(text, event.eventClass);
  text += ':';
  appendCode(text, event.eventID);
  return text;
}

std::optional<LaunchEvent> launchEvent() {
  static std::once_flag once;
  static std::optional<LaunchEvent> event;
  std::call_once(once, [] {
    if (const char* value = std::getenv(kLaunchEventVariable)) {
      event = parseLaunchEvent(value);
      ::unsetenv(kLaunchEventVariable);
    }
  });
  return event;
}

bool isOpenApplicationEvent(const std::optional<LaunchEvent>& event) {
  return event.has_value() && *event == kOpenApplicationEvent;
}

}  // namespace zefra::platform

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zefra::platform {

// The variable through which a launcher passes the launch event, as
// "<class>:<id>" ("aevt:oapp").
inline constexpr const char* kLaunchEventVariable = "ZEFRA_LAUNCH_EVENT";

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

struct LaunchEvent {
  std::uint32_t eventClass = 0;
  std::uint32_t eventID = 0;
  friend bool operator==(const LaunchEvent&, const LaunchEvent&) = default;
};

inline constexpr LaunchEvent kOpenApplicationEvent{fourCharCode("aevt"), fourCharCode("oapp")};

// Two codes of four printable ASCII characters around one ':'; anything else
// is no event.
std::optional<LaunchEvent> parseLaunchEvent(std::string_view text);
std::string formatLaunchEvent(LaunchEvent event);

// The event this process was launched with. The first call reads
// ZEFRA_LAUNCH_EVENT and removes it from the environment, so no child
// inherits it; later calls answer the same. Call it first at start, before
// other threads exist (the environment is not thread-safe).
std::optional<LaunchEvent> launchEvent();

// True only for class 'aevt' with ID 'oapp'.
bool isOpenApplicationEvent(const std::optional<LaunchEvent>& event);

}  // namespace zefra::platform

#pragma once

#include <string_view>

namespace zefra::app {

inline constexpr std::string_view kRegisteredVersionKey = "RegisteredAgentVersion";
inline constexpr std::string_view kRegisteredPathKey = "RegisteredAgentPath";
inline constexpr std::string_view kTranslocationMarker = "/AppTranslocation/";
inline constexpr std::string_view kSystemApplicationsCopy = "/Applications/Zefra Helper.app";
inline constexpr std::string_view kUserApplicationsCopy = "Applications/Zefra Helper.app";
inline constexpr std::string_view kReregisterArgument = "--reregister";
inline constexpr int kRegistrationAttempts = 3;
inline constexpr double kRegistrationRetryDelay = 0.7;
inline constexpr double kProbeDelay = 1.5;
inline constexpr double kStatusDialogDelay = 1.0;

}  // namespace zefra::app

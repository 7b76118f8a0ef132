#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zefra::platform {

// A modal alert: message, informative text and buttons in order; without
// buttons it shows one default button.
struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

inline constexpr int kAlertNoAnswer = 0;
inline constexpr int kAlertFirstButton = 1000;
inline constexpr int kAlertSecondButton = 1001;

// Shows an alert and answers 1000 + the index of the chosen button, or
// kAlertNoAnswer when nobody could be asked. Blocks its caller (the main
// queue) while the alert is up, as a modal loop does.
class AlertResponder {
 public:
  virtual ~AlertResponder() = default;
  virtual int runModal(const Alert& alert) = 0;
};

// zenity in a graphical session (DISPLAY or WAYLAND_DISPLAY set and zenity
// on PATH), else the terminal when stdin and stderr are terminals, else one
// log line; chosen afresh for each alert.
std::shared_ptr<AlertResponder> systemAlertResponder();

// The terminal form over the given descriptors (tests drive it through a
// pseudo-terminal).
int runAlertOnTerminal(const Alert& alert, int input, int output);

// The log line of an alert nobody could be shown.
std::string alertLogMessage(const Alert& alert);

}  // namespace zefra::platform

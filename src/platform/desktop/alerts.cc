#include "platform/desktop/alerts.h"

#include <unistd.h>

#include <cstdlib>

#include "base/eintr.h"
#include "platform/files/pipe_io.h"
#include "platform/log.h"
#include "platform/process/executable_search.h"

namespace zefra::platform {

namespace {

std::string markupEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      // zenity unescapes backslash sequences in its text.
      case '\\':
        escaped += "\\\\";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

int runAlertWithZenity(const std::string& zenity, const Alert& alert) {
  std::vector<std::string> arguments;
  const std::string text =
      "<b>" + markupEscaped(alert.messageText) + "</b>\n\n" + markupEscaped(alert.informativeText);
  if (alert.buttons.empty()) {
    arguments = {"--info", "--title=Zefra Helper", "--width=420", "--text=" + text};
    auto outcome = runCommand(zenity, arguments);
    return outcome && outcome->status == 0 ? kAlertFirstButton : kAlertNoAnswer;
  }
  // Only our own buttons, in order; zenity prints the label of the one
  // chosen, and nothing when the window is closed.
  arguments = {"--question", "--switch", "--title=Zefra Helper", "--width=420", "--text=" + text};
  for (const auto& button : alert.buttons) arguments.push_back("--extra-button=" + button);
  auto outcome = runCommand(zenity, arguments);
  if (!outcome) return kAlertNoAnswer;
  std::string chosen = outcome->standardOutput;
  while (!chosen.empty() && chosen.back() == '\n') chosen.pop_back();
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    if (alert.buttons[i] == chosen) return kAlertFirstButton + static_cast<int>(i);
  }
  return kAlertNoAnswer;
}

// One line, without its line feed; nothing at end of input.
std::optional<std::string> readLine(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t got = base::retryOnEintr([&] { return ::read(fd, &c, 1); });
    if (got <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    if (c != '\r') line += c;
  }
}

class SystemAlertResponder final : public AlertResponder {
 public:
  int runModal(const Alert& alert) override {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) {
      if (auto zenity = findExecutableOnPath("zenity")) return runAlertWithZenity(*zenity, alert);
    }
    if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
      return runAlertOnTerminal(alert, STDIN_FILENO, STDERR_FILENO);
    }
    log(alertLogMessage(alert));
    return kAlertNoAnswer;
  }
};

}  // namespace

int runAlertOnTerminal(const Alert& alert, int input, int output) {
  std::string text = "\n" + alert.messageText + "\n\n" + alert.informativeText + "\n\n";
  if (alert.buttons.empty()) {
    (void)writeAll(output, text + "[Press Return] ");
    return readLine(input) ? kAlertFirstButton : kAlertNoAnswer;
  }
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    text += "  " + std::to_string(i + 1) + ") " + alert.buttons[i] + "\n";
  }
  const std::string prompt = "Choose 1-" + std::to_string(alert.buttons.size()) + ": ";
  (void)writeAll(output, text + prompt);
  while (auto line = readLine(input)) {
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
      if (*line == std::to_string(i + 1) || *line == alert.buttons[i]) {
        return kAlertFirstButton + static_cast<int>(i);
      }
    }
    (void)writeAll(output, prompt);
  }
  return kAlertNoAnswer;
}

std::string alertLogMessage(const Alert& alert) {
  return "alert \"" + alert.messageText + "\": " + alert.informativeText;
}

std::shared_ptr<AlertResponder> systemAlertResponder() {
  return std::make_shared<SystemAlertResponder>();
}

}  // namespace zefra::platform

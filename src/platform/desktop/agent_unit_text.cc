#include "platform/desktop/agent_unit_text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "base/utf8.h"
#include "platform/files/small_file.h"

namespace zefra::platform {

namespace {

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

bool pathExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string unitExecQuoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') quoted += '\\';
    // The manager expands "$" in arguments only, never in the executable.
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

std::string desktopExecQuoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    // Quoting escapes these with a backslash, which the key file escapes in
    // turn: a literal backslash takes four.
    if (c == '\\') {
      quoted += "\\\\\\\\";
      continue;
    }
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

Result<std::string> instantiate(const std::string& templatePath, const std::string& executable) {
  Result<std::string> text = readSmallFile(templatePath);
  if (!text) return text.error();
  return replaceAll(std::move(text).value(), "@EXECUTABLE@", executable);
}

Status noNewlines(const std::string& path) {
  if (path.find_first_of("\n\r") != std::string::npos) {
    return Error{EINVAL, "the helper's path contains a line break: " + path};
  }
  // Entries and units are UTF-8 text: such a path would be stored repaired,
  // never match the bundle's again, and be registered anew at every launch.
  if (!base::isValidUtf8(path)) {
    return Error{EINVAL, "the helper's path is not valid UTF-8: " + base::repairUtf8(path)};
  }
  return Ok{};
}

Status startableByUserManager(const std::string& path) {
  if (Status checked = noNewlines(path); !checked) return checked;
  const bool unsafe = std::any_of(path.begin(), path.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < ' ' || byte == 0x7F || c == '"' || c == '\'' || c == '\\';
  });
  if (unsafe || !base::isValidUtf8(path)) {
    return Error{EINVAL,
                 "the user manager cannot start the helper from a path with a quote, a "
                 "backslash, a control character or text that is not UTF-8: " +
                     path};
  }
  return Ok{};
}

}  // namespace zefra::platform

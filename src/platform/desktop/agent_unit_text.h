#pragma once

#include <string>

#include "base/result.h"

// The texts of the agent's files, made from the bundle's templates.
namespace zefra::platform {

// Whether the path names something, links followed.
bool pathExists(const std::string& path);
// The executable as one quoted argument of a unit's ExecStart=.
std::string unitExecQuoted(const std::string& path);
// The executable as one quoted argument of a desktop entry's Exec key: the
// quoting rule of Exec, then the string escape of the file format.
std::string desktopExecQuoted(const std::string& path);
// The template with @EXECUTABLE@ replaced by `executable`.
Result<std::string> instantiate(const std::string& templatePath, const std::string& executable);
// A line break in the path would end the key that holds it.
Status noNewlines(const std::string& path);
// What the user manager runs: it refuses a command whose executable has a
// quote, a backslash or a control character, and ignores a line that is not
// UTF-8, so such a path would register a service that never starts.
Status startableByUserManager(const std::string& path);

}  // namespace zefra::platform

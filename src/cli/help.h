#pragma once

#include <optional>
#include <string_view>

namespace zefra::client {

// The command-line client's texts: the whole picture (commands, options,
// environment, exit statuses) and one per command.
std::string_view generalHelp();
std::optional<std::string_view> commandHelp(std::string_view command);
bool isHelpOption(std::string_view argument);

}  // namespace zefra::client

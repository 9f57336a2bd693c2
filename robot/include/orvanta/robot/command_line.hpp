#pragma once

// The command line of a Windows program, written so that the program gets
// back exactly the arguments it was given. Windows passes a program one text;
// the program's runtime (CommandLineToArgvW, the C runtime) splits it at
// blanks, with double quotes grouping and backslashes escaping quotes. An
// argument that is empty or holds a blank or a quote must therefore be
// quoted, and the backslashes in front of a quote (or of the closing quote)
// doubled.

#include <string>
#include <string_view>
#include <vector>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// One argument as it must stand on a command line; unchanged when it needs
// no quoting.
ORVANTA_ROBOT_EXPORT std::string quote_windows_argument(std::string_view arg);

// The arguments, each quoted as needed, joined with single spaces.
ORVANTA_ROBOT_EXPORT std::string windows_command_line(const std::vector<std::string>& args);

}  // namespace orvanta::robot

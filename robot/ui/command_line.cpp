// Windows command-line quoting (see command_line.hpp).

#include "orvanta/robot/command_line.hpp"

namespace orvanta::robot {

std::string quote_windows_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them; before a quote
    // each must be doubled and the quote itself escaped.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  // The closing quote follows: double the trailing backslashes.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string windows_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line.push_back(' ');
    line += quote_windows_argument(args[i]);
  }
  return line;
}

}  // namespace orvanta::robot

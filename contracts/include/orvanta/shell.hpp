#pragma once

// The operating-system shell and the running process, as far as the system
// needs them to make sure it runs with administrator rights.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/visibility.hpp"

namespace orvanta {

class ORVANTA_INTERFACE Shell {
 public:
  virtual ~Shell() = default;

  // The process's effective user id, or nothing where the platform has no
  // user ids (Windows).
  virtual std::optional<long> getuid() const = 0;

  // Non-zero when the process runs with administrator rights (Windows).
  virtual int IsUserAnAdmin() const = 0;

  // Texts are UTF-8; a Windows layer converts them to the shell's wide form.
  // Asks the shell to carry out `operation` ("runas": start elevated) on
  // `file` with `parameters`. The result is the shell's code (greater than 32
  // on success).
  virtual std::intptr_t ShellExecuteW(std::uintptr_t hwnd, const std::string& operation, const std::string& file,
                                      const std::string& parameters, const std::optional<std::string>& directory,
                                      int show) = 0;

  // The executable of the running process, and the arguments it was started
  // with (after the executable).
  virtual std::string executable() const = 0;
  virtual std::vector<std::string> arguments() const = 0;

  // Ends the process with `status`. A stand-in that must not end the process
  // throws instead; either way the call does not return.
  [[noreturn]] virtual void exit(int status) = 0;
};

}  // namespace orvanta

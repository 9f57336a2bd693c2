#pragma once

// The simulated shell and process: whether the process is elevated, and a
// record of what was asked of the shell. Ending the process throws
// ProcessExit instead, so a test sees the exit status.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/shell.hpp"

namespace orvanta::sim {

// Thrown by SimShell::exit in place of ending the process. Ending the
// process is not an ordinary error: the class deliberately does not derive
// from std::exception, so code that catches every ordinary error
// (`catch (const std::exception&)`) lets it through, as the process would
// have ended there. Only `catch (...)` or a catch of ProcessExit stops it.
class ProcessExit {
 public:
  explicit ProcessExit(int status) : status_(status) {}
  int status() const { return status_; }
  const char* what() const noexcept { return "process exit requested"; }

 private:
  int status_;
};

struct ShellRequest {
  std::uintptr_t hwnd;
  std::string operation;
  std::string file;
  std::string parameters;
  std::optional<std::string> directory;
  int show;
};

class SimShell : public Shell {
 public:
  // The process's user id (nothing: a platform without user ids, where
  // IsUserAnAdmin decides), and whether it runs as administrator there.
  virtual void set_uid(std::optional<long> uid) = 0;
  virtual void set_admin(bool admin) = 0;
  virtual void set_command_line(std::string executable, std::vector<std::string> arguments) = 0;
  // The shell's answer to ShellExecuteW (greater than 32: success).
  virtual void set_execute_result(std::intptr_t result) = 0;

  virtual std::vector<ShellRequest> requests() const = 0;
  virtual std::vector<int> exits() const = 0;
};

// Starts as an elevated process (uid 0) started as "orvanta" with no
// arguments.
std::shared_ptr<SimShell> make_sim_shell();

}  // namespace orvanta::sim

#pragma once

// The test program runs itself as a second process where a test needs
// another program: one that puts data on the clipboard, holds the clipboard
// open, owns a window, or reports the command line it was started with.
// Waits on processes and events are bounded, so a stuck helper fails the
// test instead of hanging it.

#include <filesystem>
#include <string>
#include <vector>

#include "orvanta/win32/windows.hpp"

namespace orvanta::win32::testing {

// The first argument that makes the test program act as a helper.
inline constexpr const char* kChildFlag = "--orvanta-child";

// Runs a helper's part when the arguments ask for one; returns its exit
// status, or -1 when the program is to run the tests.
int run_as_child();

class NamedEvent;

// A helper process started with `args` after the flag.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  DWORD pid() const { return info_.dwProcessId; }
  // Waits for the helper to set `event`; false when it ended first or did
  // not set it within the bound.
  bool wait_until(const NamedEvent& event) const;
  // Waits for the helper to end and gives its exit status.
  DWORD wait();

 private:
  PROCESS_INFORMATION info_{};
};

// Runs a helper to its end; its exit status.
DWORD run_child(const std::vector<std::string>& args);

// An event that another process opens by name.
class NamedEvent {
 public:
  NamedEvent();
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  const std::string& name() const { return name_; }
  void set() const;
  // False when the event was not set within the bound.
  bool wait() const;
  HANDLE handle() const { return handle_; }

 private:
  std::string name_;
  HANDLE handle_;
};

// The UTF-8 text `utf8` as a path.
std::filesystem::path utf8_path(const std::string& utf8);

// A fresh directory of the test's own, removed with its content at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Whether another thread, opening the clipboard with a window of its own as
// programs do, can open it now: whether nobody holds it open.
bool clipboard_free();

}  // namespace orvanta::win32::testing

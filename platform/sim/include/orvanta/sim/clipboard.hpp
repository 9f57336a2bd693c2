#pragma once

// The simulated system clipboard. It keeps the discipline of the real one:
// it must be opened before it is read and closed afterwards, and opening it
// while it is open fails, as it does when another program holds it.
//
// Thread-safety: every member may be called from any thread.

#include <memory>
#include <string>
#include <vector>

#include "orvanta/clipboard.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::sim {

class SimClipboard : public Clipboard {
 public:
  // What the clipboard holds; set by the simulated client (copying a picture
  // puts its file on it) or by a test. Each replaces the whole content.
  virtual void set_files(std::vector<std::string> paths) = 0;
  virtual void set_text(std::string text) = 0;
  virtual void clear() = 0;
  // The same, taking effect at clock time `at` (a copy that lands late);
  // until then the clipboard keeps what it holds. Contents due at the same
  // time land in the order they were given.
  virtual void set_files_at(std::vector<std::string> paths, timing::SystemTime at) = 0;
  virtual void set_text_at(std::string text, timing::SystemTime at) = 0;

  // Makes the clipboard look held by another program (OpenClipboard fails)
  // until released.
  virtual void hold_by_other_program(bool held) = 0;
  virtual bool held_by_other_program() const = 0;

  virtual bool is_open() const = 0;
  // How many times it was opened and closed, and every call made on it in
  // order ("OpenClipboard", "IsClipboardFormatAvailable", "GetClipboardData",
  // "CloseClipboard"), for tests.
  virtual int open_count() const = 0;
  virtual int close_count() const = 0;
  virtual std::vector<std::string> uses() const = 0;

  // Fault switch: the n-th call (1-based, counted from now) of `operation`
  // ("OpenClipboard", "GetClipboardData") fails with OSError.
  virtual void fail_on_call(const std::string& operation, int n) = 0;
};

// A clipboard of its own, outside any simulated client.
std::shared_ptr<SimClipboard> make_sim_clipboard();

}  // namespace orvanta::sim

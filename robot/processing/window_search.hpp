#pragma once

// Reading a group's chat window until the store's newest rows are found in
// it, loading older history as needed: what the new-message phase and the
// store's alignment share.
//
// Thread-safety: drives the client; runs on the listening thread.

#include <optional>
#include <string>
#include <vector>

#include "orvanta/robot/line_alignment.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::robot {

// The row types a group's window lines are stored as ("self" for the
// account's own lines).
extern const std::vector<std::string> kStoredLineTypes;

// The window's lines and the keys of those that are compared with rows;
// at[k] is the index in `lines` of key k.
struct WindowView {
  wxauto::WindowMessages lines;
  std::vector<LineKey> keys;
  std::vector<std::size_t> at;
};
WindowView view_of(wxauto::WindowMessages lines);

// The window lines newer than the store: lines[first_new..]. `gap` says why,
// when the store's rows could not be found, the new lines were taken from a
// lining-up that may have missed or repeated lines.
struct NewLines {
  wxauto::WindowMessages lines;
  std::size_t first_new = 0;
  std::optional<std::string> gap;
};

struct SearchLimits {
  // Loads of older history before giving up on finding the rows.
  int max_loads = 50;
  // Whether to line up the window with the recent rows when they were not
  // found (otherwise nothing is new).
  bool line_up_when_lost = true;
};

// Reads the open chat of `nickname` and finds its lines newer than the
// group's stored rows. With no stored row every line is new. Client errors
// reach the caller.
NewLines search_new_lines(const std::string& nickname, SearchLimits limits = {});

}  // namespace orvanta::robot

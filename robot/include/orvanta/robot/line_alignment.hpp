#pragma once

// Lining up a chat window with the group's stored rows.
//
// Both sides are reduced to line keys of the same kinds: the messages of
// members (type, stored text and sender), the account's own lines (stored as
// "self"), recall notices (with the sender they name) and the join notices
// that are stored. The system lines that are never stored are left out of
// both sides, so that one stored row stands for one window line. A window line "fits" a
// row when it is the same line, or a recall notice naming the row's sender
// (the window shows the notice where the recalled message stood).
//
// Everything here is pure: the callers read the window and the store.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/message_db.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::robot {

struct LineKey {
  enum class Kind {
    kMessage,  // a member's text, reply or picture
    kOwn,      // the account's own line of any type
    kRecall,   // a recall notice
    kNotice,   // a stored system line (a join notice)
  };
  Kind kind = Kind::kMessage;
  std::string type;
  std::string content;
  // kMessage: the sender; kRecall: the sender the notice names, empty for
  // the account's own recall ("你撤回了一条消息").
  std::string sender;
  bool own_recall = false;
  // A picture's key, when known (always for a stored picture; for a window
  // picture only once it has been downloaded).
  std::string img_md5;

  bool operator==(const LineKey&) const = default;
};

// The key of a window line, or nothing when the line is not compared: not a
// record, or a system line that is never stored.
ORVANTA_ROBOT_EXPORT std::optional<LineKey> window_line_key(const wxauto::WindowMessage& line);

// The key of a stored row (rows of type "self" are never asked for).
ORVANTA_ROBOT_EXPORT LineKey row_line_key(const Row& row);

// The key of a recall notice's text: the sender it names between quotes, or
// the account's own recall.
ORVANTA_ROBOT_EXPORT LineKey recall_key(const std::string& content);

// Whether window line `w` can stand where row `r` was stored. Pictures are
// compared by key only when both keys are known.
ORVANTA_ROBOT_EXPORT bool fits(const LineKey& w, const LineKey& r);

// Where the newest of `rows` (oldest first) stands in `window` (oldest
// first).
struct Boundary {
  enum class Outcome {
    kFound,     // every row lines up just before `first_new`
    kPartial,   // the window's oldest lines are the newest rows: more history may tell
    kNotFound,  // the newest row is not in the window
  };
  Outcome outcome = Outcome::kNotFound;
  // The first window line newer than the rows.
  std::size_t first_new = 0;
  // More than one place fits every row (repeated lines, or pictures of one
  // sender told apart only by their keys): the newest was taken.
  bool ambiguous = false;
};

// Looks for the place where the rows, newest first, fit the window lines one
// for one ending at a line that fits the newest row, with at least one line
// the same as its row (a recall notice standing in for a row is weak
// evidence). A place where all rows fit is found: the one with the most
// lines the same as their rows, the newest on a tie (the oldest when
// `prefer_oldest`: the rows are the group's whole store, which began at the
// start of the chat's history). Without one, the newest place whose fitting
// run reaches the window's oldest line is partial.
ORVANTA_ROBOT_EXPORT Boundary find_boundary(const std::vector<LineKey>& window, const std::vector<LineKey>& rows,
                                            bool prefer_oldest = false);

// The fallback when the rows cannot be placed: the longest common
// subsequence of rows and window lines by `fits`, taking the earliest window
// lines on ties; the window lines after the last paired one are new (all of
// them when nothing pairs).
ORVANTA_ROBOT_EXPORT std::size_t line_up(const std::vector<LineKey>& window, const std::vector<LineKey>& rows);

// Pairs rows (oldest first) with window lines (oldest first) for the recall
// check: the i-th entry is the window line standing for row i, or nothing
// when the window does not reach that far back. The rows are a contiguous
// run ending at the group's newest row; its place is searched from the
// newest end. Nothing at all (std::nullopt) when the run cannot be placed
// consistently (two places that disagree on a row's line, or no place).
ORVANTA_ROBOT_EXPORT std::optional<std::vector<std::optional<std::size_t>>> pair_rows(
    const std::vector<LineKey>& window, const std::vector<LineKey>& rows);

}  // namespace orvanta::robot

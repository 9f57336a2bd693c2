#pragma once

// Finding which messages of the open chat window are newer than the store's
// newest rows of the group, by locating the stored sequence in the window.
//
// Thread-safety: check_more_message drives the client and runs on the
// listening thread; match_and_slice is a pure function.

#include <optional>

#include "orvanta/message_db.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::robot {

// The answer of match_and_slice.
struct Slice {
  enum class Kind {
    kNotFound,  // the stored sequence does not occur in the window
    kAtEnd,     // it occurs at the very end: nothing is new
    kNewer,     // it occurs; `newer` holds the window messages after it
  };
  Kind kind = Kind::kNotFound;
  wxauto::WindowMessages newer;
};

// Whether window message `w` stands for stored row `r`: the same "type" and
// w's text, cut before the quote marker and without trailing white space,
// equal to the row's "content"; or w is a recall notice ("base" containing
// "撤回了一条消息"), which stands for any row. Raises KeyError when w's info
// or the row lacks "type" or "content", AttributeError when w has no info
// mapping, TypeError when a text is not text.
ORVANTA_ROBOT_EXPORT bool window_matches_row(const wxauto::WindowMessage& w, const Row& r);

// Locates `db_list` (oldest first) in `wx_list` (oldest first), trying the
// newest possible position first, so that the latest occurrence wins. No
// position is tried when the window is shorter than the rows.
ORVANTA_ROBOT_EXPORT Slice match_and_slice(const wxauto::WindowMessages& wx_list, const Rows& db_list);

// The window messages newer than `db_message` (the newest stored rows, newest
// first), oldest first; empty when nothing is new or the rows are not found
// after loading older history twice; nothing (std::nullopt) when reading the
// window failed, which is logged as "获取消息失败: <error>". Own messages,
// non-records and the system lines that are never stored (neither recall nor
// join notices) are left out of the window before the search, so that the
// window list holds the same kind of sequence as the rows.
ORVANTA_ROBOT_EXPORT std::optional<wxauto::WindowMessages> check_more_message(const Rows& db_message);

}  // namespace orvanta::robot

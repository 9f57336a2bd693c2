// Finding where the store's newest rows stand in a chat window.

#include "window_search.hpp"

#include <algorithm>
#include <exception>
#include <filesystem>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/os.hpp"
#include "picture_file.hpp"

namespace orvanta::robot {
namespace {

// Newest rows that must line up for a place to count, and the recent rows
// the fallback lines up.
constexpr int kRowsToPlace = 8;
constexpr int kRowsToLineUp = 50;
// Loads in a row that add no line: the start of the chat's history.
constexpr int kEmptyLoadsAtStart = 2;

std::vector<LineKey> keys_oldest_first(Rows newest_first) {
  std::vector<LineKey> keys;
  keys.reserve(newest_first.size());
  for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) keys.push_back(row_line_key(*it));
  return keys;
}

// The index in view.lines of the first line after compared line `k - 1`.
std::size_t line_after(const WindowView& view, std::size_t k) {
  return k == 0 ? 0 : view.at[k - 1] + 1;
}

// Downloads the window's pictures that have no key yet and keys them, so
// that pictures of one sender are told apart. A downloaded file is removed
// again unless a stored row points at it.
void key_pictures(WindowView& view, const std::string& nickname) {
  const auto db = config.db.get();
  for (std::size_t k = 0; k < view.keys.size(); ++k) {
    LineKey& key = view.keys[k];
    if (key.kind != LineKey::Kind::kMessage || key.type != "image" || !key.img_md5.empty()) continue;
    const auto download = view.lines[view.at[k]]->download();
    if (!download.path) throw OSError("the picture could not be downloaded: " + download.file_name);
    key.img_md5 = picture_key(read_picture_file(*download.path));
    const Rows owners = db->get_latest_messages(1, LatestQuery{.group_name = nickname, .img_md5 = key.img_md5});
    const bool kept = !owners.empty() && owners.front().value("image_url", Json("")) == Json(*download.path);
    if (kept) continue;
    try {
      std::filesystem::remove(os::path_from_utf8(*download.path));
    } catch (const std::exception& e) {
      logger()->info(e.what());
    }
  }
}

bool shows_unkeyed_picture(const WindowView& view) {
  return std::any_of(view.keys.begin(), view.keys.end(), [](const LineKey& k) {
    return k.kind == LineKey::Kind::kMessage && k.type == "image" && k.img_md5.empty();
  });
}

}  // namespace

const std::vector<std::string> kStoredLineTypes = {"other", "text", "image", "base", "self"};

WindowView view_of(wxauto::WindowMessages lines) {
  WindowView view;
  view.lines = std::move(lines);
  for (std::size_t i = 0; i < view.lines.size(); ++i) {
    if (auto key = window_line_key(*view.lines[i])) {
      view.keys.push_back(std::move(*key));
      view.at.push_back(i);
    }
  }
  return view;
}

NewLines search_new_lines(const std::string& nickname, SearchLimits limits) {
  const auto db = config.db.get();
  const auto wx = config.wx.get();
  const std::vector<LineKey> rows = keys_oldest_first(
      db->get_latest_messages(kRowsToPlace, LatestQuery{.group_name = nickname, .type = kStoredLineTypes}));
  WindowView view = view_of(wx->GetAllMessage());
  int loads = 0, empty_loads = 0;
  // With fewer rows than a place needs, the rows are the group's whole
  // store, which began with the chat's history: the whole history is read,
  // and lines repeated since then do not pass for the stored ones.
  const bool whole_store = rows.size() < static_cast<std::size_t>(kRowsToPlace);
  if (whole_store) {
    // With nothing stored, everything the group shows arrived after its
    // history was synchronised, older lines beyond the window too.
    while (empty_loads < kEmptyLoadsAtStart && loads < limits.max_loads) {
      wx->LoadMoreMessage();
      ++loads;
      WindowView more = view_of(wx->GetAllMessage());
      empty_loads = more.lines.size() > view.lines.size() ? 0 : empty_loads + 1;
      view = std::move(more);
    }
    if (rows.empty()) return NewLines{std::move(view.lines), 0, std::nullopt};
    // From the history's start the rows are the first lines, one for one,
    // whatever was repeated or recalled since.
    const bool at_start = empty_loads >= kEmptyLoadsAtStart && view.keys.size() >= rows.size() &&
                          std::equal(rows.begin(), rows.end(), view.keys.begin(),
                                     [](const LineKey& r, const LineKey& w) { return fits(w, r); });
    if (at_start) {
      const std::size_t first_new = line_after(view, rows.size());
      return NewLines{std::move(view.lines), first_new, std::nullopt};
    }
  }

  for (;;) {
    Boundary boundary = find_boundary(view.keys, rows, whole_store);
    if (boundary.ambiguous && shows_unkeyed_picture(view)) {
      key_pictures(view, nickname);
      boundary = find_boundary(view.keys, rows, whole_store);
    }
    const bool history_start = empty_loads >= kEmptyLoadsAtStart;
    if (boundary.outcome == Boundary::Outcome::kFound ||
        (boundary.outcome == Boundary::Outcome::kPartial && history_start)) {
      const std::size_t first_new = line_after(view, boundary.first_new);
      logger()->debug("{}: {} rows placed in {} window lines after {} loads{}; {} lines are new", nickname, rows.size(),
                      view.lines.size(), loads, boundary.ambiguous ? " (more than one place fits)" : "",
                      view.lines.size() - first_new);
      return NewLines{std::move(view.lines), first_new, std::nullopt};
    }
    if (history_start || loads >= limits.max_loads) break;
    wx->LoadMoreMessage();
    ++loads;
    WindowView more = view_of(wx->GetAllMessage());
    empty_loads = more.lines.size() > view.lines.size() ? 0 : empty_loads + 1;
    view = std::move(more);
  }

  const std::string where = empty_loads >= kEmptyLoadsAtStart ? "the start of the chat's history"
                                                              : std::to_string(loads) + " loads of older history";
  if (!limits.line_up_when_lost) {
    const std::size_t end = view.lines.size();
    return NewLines{std::move(view.lines), end, "the newest stored messages were not found up to " + where};
  }
  const std::vector<LineKey> recent = keys_oldest_first(
      db->get_latest_messages(kRowsToLineUp, LatestQuery{.group_name = nickname, .type = kStoredLineTypes}));
  const std::size_t first_new = line_after(view, line_up(view.keys, recent));
  const std::size_t count = view.lines.size() - first_new;
  std::string gap = "the newest stored messages were not found up to " + where + "; " + std::to_string(count) +
                    " window lines after the last one that lines up with the stored messages are taken as new";
  return NewLines{std::move(view.lines), first_new, std::move(gap)};
}

}  // namespace orvanta::robot

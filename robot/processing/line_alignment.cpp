// Line keys of window lines and stored rows, and the searches that line the
// two up.

#include "orvanta/robot/line_alignment.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "orvanta/robot/member_join.hpp"
#include "orvanta/robot/record_update.hpp"
#include "orvanta/robot/window_reads.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kRecall = "撤回了一条消息";
constexpr std::string_view kOwnRecall = "你撤回了一条消息";

std::string text_or_empty(const Json& mapping, const char* key) {
  const auto it = mapping.find(key);
  return it != mapping.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

LineKey make_key(LineKey::Kind kind, std::string type, std::string content, std::string sender = {}) {
  return LineKey{.kind = kind,
                 .type = std::move(type),
                 .content = std::move(content),
                 .sender = std::move(sender),
                 .own_recall = false,
                 .img_md5 = {}};
}

}  // namespace

LineKey recall_key(const std::string& content) {
  LineKey key = make_key(LineKey::Kind::kRecall, "base", content);
  if (content.rfind(kOwnRecall, 0) == 0) {
    key.own_recall = true;
    return key;
  }
  // The client writes the sender between double quotes: "X" 撤回了一条消息.
  if (!content.empty() && content.front() == '"') {
    const auto close = content.find('"', 1);
    if (close != std::string::npos) key.sender = content.substr(1, close - 1);
  }
  return key;
}

std::optional<LineKey> window_line_key(const wxauto::WindowMessage& line) {
  const auto info = line.info();
  if (!info || !info->is_object()) return std::nullopt;
  try {
    if (!is_record_info(*info)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const std::string type = text_or_empty(*info, "type");
  const std::string attr = text_or_empty(*info, "attr");
  const std::string content = text_or_empty(*info, "content");
  if (attr == "self" && type != "base") return make_key(LineKey::Kind::kOwn, "self", stored_content(type, content));
  if (type == "base") {
    if (contains(content, kRecall)) return recall_key(content);
    if (is_new_member_message(*info)) return make_key(LineKey::Kind::kNotice, type, content);
    return std::nullopt;
  }
  return make_key(LineKey::Kind::kMessage, type, stored_content(type, content), line.sender().value_or(""));
}

LineKey row_line_key(const Row& row) {
  const std::string type = text_or_empty(row, "type");
  const std::string content = text_or_empty(row, "content");
  const std::string sender = text_or_empty(row, "sender");
  const bool recalled = !text_or_empty(row, "recall_id").empty();
  // Recall notices are stored as "base" lines, and by history
  // synchronisation as senderless "text" lines with a recall identifier.
  if (type == "base" && contains(content, kRecall)) return recall_key(content);
  if (type == "text" && recalled && sender.empty() && contains(content, kRecall)) return recall_key(content);
  if (type == "base") return make_key(LineKey::Kind::kNotice, type, content);
  if (type == "self") return make_key(LineKey::Kind::kOwn, type, content);
  LineKey key = make_key(LineKey::Kind::kMessage, type, content, sender);
  if (type == "image") key.img_md5 = text_or_empty(row, "img_md5");
  return key;
}

bool fits(const LineKey& w, const LineKey& r) {
  switch (w.kind) {
    case LineKey::Kind::kMessage:
      return r.kind == LineKey::Kind::kMessage && w.type == r.type && w.content == r.content && w.sender == r.sender &&
             (w.img_md5.empty() || r.img_md5.empty() || w.img_md5 == r.img_md5);
    case LineKey::Kind::kOwn:
      return r.kind == LineKey::Kind::kOwn && w.content == r.content;
    case LineKey::Kind::kRecall:
      if (r.kind == LineKey::Kind::kRecall) return w.content == r.content;
      // A member's notice stands where that member's message was, the
      // account's own recall where an own line was.
      if (w.own_recall) return r.kind == LineKey::Kind::kOwn;
      return r.kind == LineKey::Kind::kMessage && !w.sender.empty() && w.sender == r.sender;
    case LineKey::Kind::kNotice:
      return r.kind == LineKey::Kind::kNotice && w.content == r.content;
  }
  return false;
}

namespace {

// A recall notice standing in for a message row fits it, but says little:
// every notice of that sender fits every row of that sender.
bool stands_in(const LineKey& w, const LineKey& r) {
  return w.kind == LineKey::Kind::kRecall && (r.kind == LineKey::Kind::kMessage || r.kind == LineKey::Kind::kOwn);
}

// How many rows, newest first, fit the window lines one for one going back
// from window line `end` (which stands for the newest row), and how many of
// those fits are the same line rather than a notice standing in.
struct Run {
  std::size_t length = 0;
  std::size_t same = 0;
};

Run fitting_run(const std::vector<LineKey>& window, const std::vector<LineKey>& rows, std::size_t end) {
  Run run;
  while (run.length < rows.size() && run.length <= end) {
    const LineKey& w = window[end - run.length];
    const LineKey& r = rows[rows.size() - 1 - run.length];
    if (!fits(w, r)) break;
    if (!stands_in(w, r)) ++run.same;
    ++run.length;
  }
  return run;
}

// The places where the rows can stand: full ones (every row fits) and
// partial ones (the fitting run reaches the window's oldest line), newest
// first, each with at least one line that is the same as its row.
struct Place {
  std::size_t end;
  Run run;
};

void find_places(const std::vector<LineKey>& window, const std::vector<LineKey>& rows, std::vector<Place>& full,
                 std::vector<Place>& partial) {
  for (std::size_t end = window.size(); end-- > 0;) {
    const Run run = fitting_run(window, rows, end);
    if (run.same == 0) continue;
    if (run.length == rows.size())
      full.push_back({end, run});
    else if (run.length == end + 1)
      partial.push_back({end, run});
  }
}

// The place with the most lines that are the same as their rows, the newest
// of those on a tie; whether another place ties with it.
std::pair<const Place*, bool> best_place(const std::vector<Place>& places, bool prefer_oldest = false) {
  const Place* best = nullptr;
  bool tie = false;
  for (const Place& p : places) {
    if (!best || p.run.same > best->run.same || (prefer_oldest && p.run.same == best->run.same)) {
      tie = best && p.run.same == best->run.same;
      best = &p;
    } else if (p.run.same == best->run.same) {
      tie = true;
    }
  }
  return {best, tie};
}

}  // namespace

Boundary find_boundary(const std::vector<LineKey>& window, const std::vector<LineKey>& rows, bool prefer_oldest) {
  if (rows.empty()) return Boundary{Boundary::Outcome::kFound, 0, false};
  std::vector<Place> full, partial;
  find_places(window, rows, full, partial);
  if (const auto [best, tie] = best_place(full, prefer_oldest); best)
    return Boundary{Boundary::Outcome::kFound, best->end + 1, tie};
  if (!partial.empty()) return Boundary{Boundary::Outcome::kPartial, partial.front().end + 1, false};
  return Boundary{Boundary::Outcome::kNotFound, 0, false};
}

std::size_t line_up(const std::vector<LineKey>& window, const std::vector<LineKey>& rows) {
  const std::size_t n = window.size(), m = rows.size();
  // lcs[i][j]: the longest common subsequence of window[i..] and rows[j..].
  std::vector<std::vector<std::size_t>> lcs(n + 1, std::vector<std::size_t>(m + 1, 0));
  for (std::size_t i = n; i-- > 0;)
    for (std::size_t j = m; j-- > 0;)
      lcs[i][j] = fits(window[i], rows[j]) ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
  // Walk one longest pairing, pairing as early in the window as possible;
  // the last pair ends the stored part.
  std::size_t i = 0, j = 0, first_new = 0;
  while (i < n && j < m) {
    if (fits(window[i], rows[j]) && lcs[i][j] == lcs[i + 1][j + 1] + 1) {
      first_new = i + 1;
      ++i;
      ++j;
    } else if (lcs[i + 1][j] >= lcs[i][j + 1]) {
      ++i;
    } else {
      ++j;
    }
  }
  return first_new;
}

std::optional<std::vector<std::optional<std::size_t>>> pair_rows(const std::vector<LineKey>& window,
                                                                 const std::vector<LineKey>& rows) {
  using Pairing = std::vector<std::optional<std::size_t>>;
  if (rows.empty()) return Pairing{};
  std::vector<Place> full, partial;
  find_places(window, rows, full, partial);
  const std::vector<Place>& places = full.empty() ? partial : full;
  const auto [best, tie] = best_place(places);
  if (!best) return std::nullopt;
  const auto pairing_of = [&](const Place& p) {
    Pairing pairing(rows.size());
    for (std::size_t k = 0; k < p.run.length; ++k) pairing[rows.size() - 1 - k] = p.end - k;
    return pairing;
  };
  const Pairing chosen = pairing_of(*best);
  if (!tie) return chosen;
  // Places as likely as the chosen one are harmless only when they give
  // every recall notice the same row.
  for (const Place& p : places) {
    if (p.run.same != best->run.same || &p == best) continue;
    const Pairing other = pairing_of(p);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const auto shows_recall = [&](const std::optional<std::size_t>& at) {
        return at && stands_in(window[*at], rows[r]);
      };
      if ((shows_recall(chosen[r]) || shows_recall(other[r])) && chosen[r] != other[r]) return std::nullopt;
    }
  }
  return chosen;
}

}  // namespace orvanta::robot

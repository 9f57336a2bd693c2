// Window and store alignment: where the store's newest rows stand in the
// chat window, and what the window shows after them.

#include "orvanta/robot/alignment.hpp"

#include <exception>
#include <string>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/line_alignment.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/window_reads.hpp"

namespace orvanta::robot {
namespace {

// Loads of older history one alignment may make, and the loads in a row that
// add no line and so mark the start of the chat's history.
constexpr int kMaxLoads = 50;
constexpr int kEmptyLoadsAtStart = 2;

const Json& subscript(const Json& mapping, const char* key, const char* what) {
  const auto it = mapping.find(key);
  if (it == mapping.end()) throw KeyError(std::string("'") + key + "' (" + what + ")");
  return *it;
}

}  // namespace

bool window_matches_row(const wxauto::WindowMessage& w, const Row& r) {
  const auto info = w.info();
  if (!info) throw AttributeError("'WindowMessage' object has no attribute 'info'");
  if (!info->is_object()) throw TypeError(std::string("'") + info->type_name() + "' object is not subscriptable");
  text_of(subscript(*info, "type", "window message"));
  text_of(subscript(*info, "content", "window message"));
  text_of(subscript(r, "type", "stored row"));
  text_of(subscript(r, "content", "stored row"));
  const auto key = window_line_key(w);
  return key && fits(*key, row_line_key(r));
}

Slice match_and_slice(const wxauto::WindowMessages& wx_list, const Rows& db_list) {
  const std::size_t db_len = db_list.size();
  if (wx_list.size() < db_len) return {};
  // From the newest possible position towards the oldest: the latest
  // occurrence of the stored sequence wins.
  for (std::size_t start = wx_list.size() - db_len + 1; start-- > 0;) {
    bool matched = true;
    for (std::size_t i = 0; i < db_len && matched; ++i) matched = window_matches_row(*wx_list[start + i], db_list[i]);
    if (!matched) continue;
    const auto after = wx_list.begin() + static_cast<std::ptrdiff_t>(start + db_len);
    if (after == wx_list.end()) return Slice{Slice::Kind::kAtEnd, {}};
    return Slice{Slice::Kind::kNewer, wxauto::WindowMessages(after, wx_list.end())};
  }
  return {};
}

std::optional<wxauto::WindowMessages> check_more_message(const Rows& db_message) {
  const Rows oldest_first(db_message.rbegin(), db_message.rend());
  logger()->info("比对信息");
  std::size_t shown = 0;
  int empty_loads = 0;
  for (int count = 0;; ++count) {
    wxauto::WindowMessages messages;
    try {
      if (count > 0) config.wx.get()->LoadMoreMessage();
      messages = config.wx.get()->GetAllMessage();
    } catch (const std::exception& e) {
      logger()->info(std::string("获取消息失败: ") + e.what());
      return std::nullopt;
    }
    empty_loads = count > 0 && messages.size() <= shown ? empty_loads + 1 : 0;
    shown = messages.size();
    // Both sides hold the same kinds of lines: own lines and the system
    // lines that are never stored are left out of the window, as they are
    // out of the rows compared.
    wxauto::WindowMessages wx_message;
    wx_message.reserve(messages.size());
    for (auto& m : messages)
      if (const auto key = window_line_key(*m); key && key->kind != LineKey::Kind::kOwn)
        wx_message.push_back(std::move(m));

    Slice add_list = match_and_slice(wx_message, oldest_first);
    if (add_list.kind == Slice::Kind::kAtEnd) return wxauto::WindowMessages{};
    if (add_list.kind == Slice::Kind::kNewer) return std::move(add_list.newer);
    if (count >= kMaxLoads || empty_loads >= kEmptyLoadsAtStart) return wxauto::WindowMessages{};
  }
}

}  // namespace orvanta::robot

// Window and store alignment: where the store's newest rows stand in the
// chat window, and what the window shows after them.

#include "orvanta/robot/alignment.hpp"

#include <exception>
#include <string>
#include <string_view>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/member_join.hpp"
#include "orvanta/robot/record_update.hpp"
#include "orvanta/robot/window_reads.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kRecall = "撤回了一条消息";
// Loads of older history one alignment may make.
constexpr int kMaxLoads = 2;

const Json& subscript(const Json& mapping, const char* key, const char* what) {
  const auto it = mapping.find(key);
  if (it == mapping.end()) throw KeyError(std::string("'") + key + "' (" + what + ")");
  return *it;
}

// A system line that is neither a recall nor a join notice: a record, but
// one that is never stored. Left in the window list it would sit between the
// stored rows it separates, the stored sequence would never be found again,
// and no later message of the group would ever be taken in.
bool is_unstored_system_line(const wxauto::WindowMessage& m) {
  if (!is_text(guarded_read(m, "type"), "base")) return false;
  return !text_contains(guarded_read(m, "content"), kRecall) && !is_new_member_message(*m.info());
}

}  // namespace

bool window_matches_row(const wxauto::WindowMessage& w, const Row& r) {
  const auto info = w.info();
  if (!info) throw AttributeError("'WindowMessage' object has no attribute 'info'");
  if (!info->is_object()) throw TypeError(std::string("'") + info->type_name() + "' object is not subscriptable");
  const Json& w_type = subscript(*info, "type", "window message");
  const Json& w_content = subscript(*info, "content", "window message");
  const Json& r_type = subscript(r, "type", "stored row");
  const Json& r_content = subscript(r, "content", "stored row");
  if (w_type == r_type && cut_before(text_of(w_content), kQuoteMarkerCompare) == r_content) return true;
  return is_text(w_type, "base") && text_contains(w_content, kRecall);
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
  for (int count = 0;; ++count) {
    wxauto::WindowMessages messages;
    try {
      messages = config.wx.get()->GetAllMessage();
    } catch (const std::exception& e) {
      logger()->info(std::string("获取消息失败: ") + e.what());
      return std::nullopt;
    }
    // Both sides hold the same kind of sequence: the rows compared never
    // include own messages (stored as type "self"), so the window's own
    // messages are left out too.
    wxauto::WindowMessages wx_message;
    wx_message.reserve(messages.size());
    for (auto& m : messages)
      if (is_record(*m) && !is_text(plain_read(*m, "attr"), "self") && !is_unstored_system_line(*m))
        wx_message.push_back(std::move(m));

    Slice add_list = match_and_slice(wx_message, oldest_first);
    if (add_list.kind == Slice::Kind::kAtEnd) return wxauto::WindowMessages{};
    if (add_list.kind == Slice::Kind::kNewer) return std::move(add_list.newer);
    if (count >= kMaxLoads) return wxauto::WindowMessages{};
    config.wx.get()->LoadMoreMessage();
  }
}

}  // namespace orvanta::robot

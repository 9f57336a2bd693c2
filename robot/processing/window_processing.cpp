// Window message processing: one pass of new messages, then recalls and
// ageing, over a group's chat window.

#include "orvanta/robot/window_processing.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "orvanta/errors.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/group_check.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/history_sync.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/line_alignment.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/record_update.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/window_reads.hpp"
#include "window_search.hpp"

namespace orvanta::robot {
namespace {

const std::vector<std::string> kRecallCheckTypes = {"other", "text", "image"};
// Newest rows the recall pairing looks at, and the loads it may make.
constexpr int kRecallRows = 30;
constexpr int kRecallLoads = 2;
// Failures of one window line after which it is set aside.
constexpr int kFailuresBeforeSetAside = 2;

// Window lines whose handling failed, by group and line, so that a line that
// keeps failing is set aside instead of stopping listening for good.
class FailedLines {
 public:
  // Counts a failure; whether the line has now failed often enough.
  bool failed(const std::string& key) {
    std::lock_guard guard(mu_);
    return ++failures_[key] >= kFailuresBeforeSetAside;
  }
  void set_aside(const std::string& key) {
    std::lock_guard guard(mu_);
    failures_.erase(key);
    set_aside_.insert(key);
  }
  bool is_set_aside(const std::string& key) const {
    std::lock_guard guard(mu_);
    return set_aside_.count(key) > 0;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, int> failures_;
  std::set<std::string> set_aside_;
};

FailedLines& failed_lines() {
  static FailedLines lines;
  return lines;
}

std::string line_identity(const std::string& nickname, const wxauto::WindowMessage& m) {
  const auto info = m.info();
  return nickname + '\x1f' + (info ? info->dump() : std::string("null")) + '\x1f' + m.sender().value_or("");
}

// Stores a line that failed twice as handled, so that the window search
// passes over it from now on, and logs what was lost.
void set_line_aside(const std::string& nickname, const wxauto::WindowMessage& m, const std::string& key,
                    const std::string& error) {
  failed_lines().set_aside(key);
  const Json info = info_or_empty(m);
  const std::string type = info.is_object() && info.value("type", Json("")).is_string() ? info.value("type", "") : "";
  const std::string content =
      info.is_object() && info.value("content", Json("")).is_string() ? info.value("content", "") : "";
  logger()->error("set aside a line of " + nickname + " that failed again (sender " + m.sender().value_or("") +
                  ", text \"" + excerpt(content) + "\"): " + error);
  if (!window_line_key(m)) return;
  update_db_messages(MessageData{.group_name = nickname,
                                 .type = type,
                                 .content = stored_content(type, content),
                                 .sender = m.sender(),
                                 .msg_id = get_msg_id(),
                                 .have_checked = "true",
                                 .timestamp = get_now()});
}

// Stores and reports one new line; a line that fails a second time is set
// aside and processing goes on. A line read before an await may belong to a
// list the client has rebuilt since: its LookupError goes to the caller,
// which reads the window again.
boost::asio::awaitable<void> handle_line(std::shared_ptr<wxauto::WindowMessage> m, const std::string& nickname,
                                         bool may_be_stale) {
  const std::string key = line_identity(nickname, *m);
  if (failed_lines().is_set_aside(key)) co_return;
  std::exception_ptr failure;
  std::string error;
  try {
    if (!is_record(*m)) co_return;
    co_await db_update_msg(m, nickname);
    co_return;
  } catch (const LookupError& e) {
    if (may_be_stale) throw;
    failure = std::current_exception();
    error = e.what();
  } catch (const std::exception& e) {
    failure = std::current_exception();
    error = e.what();
  }
  rethrow_if_cancelled(co_await boost::asio::this_coro::cancellation_state, failure);
  if (!failed_lines().failed(key)) std::rethrow_exception(failure);
  set_line_aside(nickname, *m, key, error);
}

// Stores and reports the group's new lines; whether anything was awaited
// (a handler may then have opened another chat).
boost::asio::awaitable<bool> new_messages(const std::string& nickname) {
  bool awaited = false, announced = false;
  // Reads again after a rebuild of the list; each read again follows a
  // handled line, or a gap report, at most a few times in a row.
  for (int fruitless = 0;;) {
    NewLines found = search_new_lines(nickname);
    bool awaited_since_read = false;
    if (found.gap) {
      logger()->error("gap in " + nickname + ": " + *found.gap);
      co_await report_gap(nickname, *found.gap);
      awaited = awaited_since_read = true;
    }
    if (found.first_new >= found.lines.size()) co_return awaited;
    if (!std::exchange(announced, true)) logger()->info("检查到需要处理的信息，处理新消息");
    std::size_t handled = 0;
    try {
      // One message, handlers included, is finished before the next
      // starts; a handler may have opened another chat meanwhile.
      for (std::size_t i = found.first_new; i < found.lines.size(); ++i) {
        if (awaited_since_read) config.wx.get()->ChatWith(nickname);
        co_await handle_line(found.lines[i], nickname, awaited_since_read);
        awaited = awaited_since_read = true;
        ++handled;
      }
      co_return awaited;
    } catch (const LookupError&) {
      // Only a line read before an await can be stale; the lines stored so
      // far are found by the next search.
      if (!awaited_since_read || (handled == 0 && ++fruitless > 3)) throw;
    }
    if (handled > 0) fruitless = 0;
    logger()->info("the chat of " + nickname + " was rebuilt while its lines were handled: reading it again");
  }
}

bool has_recall_id(const Row& row) {
  const auto it = row.find("recall_id");
  if (it == row.end() || it->is_null()) return false;
  return !(it->is_string() && it->get_ref<const std::string&>().empty());
}

bool is_unchecked(const Row& row) {
  const auto it = row.find("have_checked");
  return it != row.end() && it->is_string() && it->get_ref<const std::string&>() == "false";
}

boost::asio::awaitable<void> recalls_and_ageing(const std::string& nickname) {
  logger()->info("检查撤回新人加入");
  if (get_group_message_count(nickname) <= 0) co_return;
  const std::string now_time = get_now();
  const auto db = config.db.get();
  const Rows unchecked = db->get_all_messages(
      AllQuery{.group_name = nickname, .have_checked = std::string("false"), .type = kRecallCheckTypes});
  if (unchecked.empty()) co_return;

  // The group's newest rows, oldest first: a contiguous run the window is
  // lined up with from the newest end.
  Rows rows = db->get_latest_messages(kRecallRows, LatestQuery{.group_name = nickname, .type = kStoredLineTypes});
  std::reverse(rows.begin(), rows.end());
  std::vector<LineKey> row_keys;
  for (const Row& row : rows) row_keys.push_back(row_line_key(row));

  std::optional<std::vector<std::optional<std::size_t>>> pairing;
  WindowView view;
  for (int loads = 0;; ++loads) {
    try {
      view = view_of(config.wx.get()->GetAllMessage());
    } catch (const std::exception& e) {
      print_line(std::string("获取消息失败: ") + e.what());
      co_return;
    }
    pairing = pair_rows(view.keys, row_keys);
    bool all_shown = pairing.has_value();
    for (std::size_t r = 0; all_shown && r < rows.size(); ++r)
      all_shown = !is_unchecked(rows[r]) || (*pairing)[r].has_value();
    if (all_shown || loads == kRecallLoads) break;
    config.wx.get()->LoadMoreMessage();
  }

  if (pairing) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const Row& row = rows[r];
      const auto& at = (*pairing)[r];
      if (!at || !is_unchecked(row) || has_recall_id(row)) continue;
      if (row_keys[r].kind != LineKey::Kind::kMessage || view.keys[*at].kind != LineKey::Kind::kRecall) continue;
      Json fields = Json::object();
      fields["recall_id"] = get_msg_id();
      db->update_message_fields("id", row.at("id"), fields);
      co_await handle_message_recall(text_of(row.at("msg_id")), nickname);
    }
  } else {
    logger()->info("the window of " + nickname + " does not line up with its stored rows: no recall is reported");
  }

  // Rows are aged whether or not the window showed them.
  for (const Row& row : unchecked) {
    if (!is_later_by_2_minutes(now_time, text_of(row.at("timestamp")))) continue;
    Json fields = Json::object();
    fields["have_checked"] = "true";
    db->update_message_fields("id", row.at("id"), fields);
  }
}

bool is_listened(const std::string& nickname) {
  const auto groups = config.groupName_list.value_or({});
  return std::find(groups.begin(), groups.end(), nickname) != groups.end();
}

// Text without the blanks that end it.
std::string_view without_trailing_blanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The listed name of the group the client shows as `shown`. The client may
// show a listed group's name with a trailing blank in its chat list; that
// chat is the listed group, and its lines are stored and reported under the
// listed name, so that the store and its synchronisation mark are found.
std::string listed_name_of(std::string shown) {
  if (is_listened(shown)) return shown;
  for (const auto& group : config.groupName_list.value_or({}))
    if (without_trailing_blanks(group) == without_trailing_blanks(shown)) return group;
  return shown;
}

}  // namespace

boost::asio::awaitable<void> deal_msg(std::string nickname) {
  nickname = listed_name_of(std::move(nickname));
  note_group_visit(nickname);
  config.wx.get()->ChatWith(nickname);
  logger()->info("检查新消息");
  bool awaited = false;
  if (config.firstCheckGroup.get(nickname).value_or(false)) {
    awaited = co_await new_messages(nickname);
  } else if (is_listened(nickname)) {
    getHistoricalNews(nickname);
  }
  // A handler may have opened another chat.
  if (awaited) config.wx.get()->ChatWith(nickname);
  co_await recalls_and_ageing(nickname);
}

}  // namespace orvanta::robot

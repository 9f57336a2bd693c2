// Window message processing: one pass of new messages, then recalls and
// ageing, over a group's chat window.

#include "orvanta/robot/window_processing.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "orvanta/errors.hpp"
#include "orvanta/robot/alignment.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/history_sync.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/record_update.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/window_reads.hpp"
#include "picture_file.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kRecall = "撤回了一条消息";
constexpr std::string_view kPicture = "[图片]";
// Newest stored rows fetched for the new-message phase; up to this many the
// phase aligns by itself, more go through check_more_message.
constexpr int kLatestRows = 3;
constexpr std::size_t kShortAlignmentRows = 2;
// Loads of older history the recall phase may make.
constexpr int kMaxLoads = 2;

const std::vector<std::string> kNewMessageTypes = {"other", "text", "image", "base"};
const std::vector<std::string> kRecallCheckTypes = {"other", "text", "image"};

bool row_type_is_message(const Row& row) {
  const Json& type = row.at("type");
  return is_text(type, "text") || is_text(type, "other") || is_text(type, "image");
}

Json sender_of(const wxauto::WindowMessage& m) {
  auto sender = m.sender();
  return sender ? Json(std::move(*sender)) : Json(nullptr);
}

// The key of a window picture: downloaded, read, and the file removed at
// once (a failure to remove it is logged and ignored).
std::string downloaded_picture_key(wxauto::WindowMessage& m) {
  const auto download = m.download();
  if (!download.path) throw OSError("the picture could not be downloaded: " + download.file_name);
  const std::string key = picture_key(read_picture_file(*download.path));
  try {
    std::filesystem::path path(*download.path);
    if (std::filesystem::exists(path)) std::filesystem::remove(path);
  } catch (const std::exception& e) {
    logger()->info(e.what());
  }
  return key;
}

// The short alignment against one or two stored rows: walks the window
// newest first until the newest row is found and gives the storable messages
// after it, oldest first.
wxauto::WindowMessages short_alignment(const Row& newest, const wxauto::WindowMessages& messages) {
  std::deque<std::shared_ptr<wxauto::WindowMessage>> temp_list;
  const Json& newest_content = newest.at("content");
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    wxauto::WindowMessage& m = **it;
    const auto msg_type = guarded_read(m, "type");
    const Json content = plain_read(m, "content");
    // A recall notice stands where the newest stored message was.
    if (text_contains(content, kRecall) && row_type_is_message(newest)) break;
    if (newest_content == content && newest.at("sender") == sender_of(m)) {
      if (!is_text(content, kPicture)) break;
      // Pictures all show the same text: only the key tells them apart.
      if (newest.at("img_md5") == Json(downloaded_picture_key(m))) break;
    }
    if (is_text(msg_type, "base") && text_contains(content, text_of(newest_content))) break;
    if (is_text(msg_type, "other") && newest_content == Json(cut_before(text_of(content), kQuoteMarkerCompare))) break;
    if (is_text(plain_read(m, "attr"), "self")) continue;
    if (is_record(m)) temp_list.push_front(*it);
  }
  return wxauto::WindowMessages(temp_list.begin(), temp_list.end());
}

boost::asio::awaitable<void> new_messages(const std::string& nickname) {
  const auto db = config.db.get();
  const Rows latest_have_input_msg =
      db->get_latest_messages(kLatestRows, LatestQuery{.group_name = nickname, .type = kNewMessageTypes});
  const wxauto::WindowMessages messages = config.wx.get()->GetAllMessage();

  wxauto::WindowMessages temp_list;
  if (latest_have_input_msg.empty()) {
    for (const auto& m : messages)
      if (is_record(*m)) temp_list.push_back(m);
  } else if (latest_have_input_msg.size() > kShortAlignmentRows) {
    temp_list = check_more_message(latest_have_input_msg).value_or(wxauto::WindowMessages{});
  } else {
    temp_list = short_alignment(latest_have_input_msg.front(), messages);
  }

  if (temp_list.empty()) co_return;
  logger()->info("检查到需要处理的信息，处理新消息");
  // One message, handlers included, is finished before the next starts.
  for (auto& msg : temp_list) co_await db_update_msg(msg, nickname);
}

// The window entries that stand for the group's unchecked rows: walking the
// window newest first, the info of every text, reply and picture of others
// and of every recall notice, until `length` are found; oldest first.
std::vector<Json> window_entries(const wxauto::WindowMessages& messages, std::size_t length) {
  std::vector<Json> entries;
  for (auto it = messages.rbegin(); it != messages.rend() && entries.size() < length; ++it) {
    const wxauto::WindowMessage& m = **it;
    const auto msg_type = guarded_read(m, "type");
    if (is_text(msg_type, "text") || is_text(msg_type, "other") || is_text(msg_type, "image")) {
      if (is_text(msg_type, "other") && text_contains(guarded_read(m, "attr"), "base")) continue;
      if (is_text(guarded_read(m, "attr"), "self")) continue;
      entries.push_back(info_or_empty(m));
    } else if (is_text(msg_type, "base") && m.info() && text_contains(guarded_read(m, "content"), kRecall)) {
      entries.push_back(*m.info());
    }
  }
  std::reverse(entries.begin(), entries.end());
  return entries;
}

bool shows_recall(const Json& entry) {
  if (!entry.is_object()) return false;
  const auto it = entry.find("content");
  return text_contains(it == entry.end() ? Json("") : *it, kRecall);
}

bool has_recall_id(const Row& row) {
  const auto it = row.find("recall_id");
  if (it == row.end() || it->is_null()) return false;
  return !(it->is_string() && it->get_ref<const std::string&>().empty());
}

boost::asio::awaitable<void> recalls_and_ageing(const std::string& nickname) {
  logger()->info("检查撤回新人加入");
  if (get_group_message_count(nickname) <= 0) co_return;
  const std::string now_time = get_now();
  const auto db = config.db.get();
  const Rows latest_no_check_msg = db->get_all_messages(
      AllQuery{.group_name = nickname, .have_checked = std::string("false"), .type = kRecallCheckTypes});
  const std::size_t length = latest_no_check_msg.size();
  if (latest_no_check_msg.empty()) co_return;

  std::vector<Json> chat_text_list;
  for (int count = 0;; ++count) {
    wxauto::WindowMessages messages;
    try {
      messages = config.wx.get()->GetAllMessage();
    } catch (const std::exception& e) {
      print_line(std::string("获取消息失败: ") + e.what());
      co_return;
    }
    std::vector<Json> temp_chat_text_list = window_entries(messages, length);
    if (temp_chat_text_list.size() == length) {
      chat_text_list = std::move(temp_chat_text_list);
      break;
    }
    // The window does not show enough messages even with older history
    // loaded: nothing is marked in this pass.
    if (count == kMaxLoads) co_return;
    config.wx.get()->LoadMoreMessage();
  }

  for (std::size_t i = 0; i < chat_text_list.size(); ++i) {
    const Row& row = latest_no_check_msg[i];
    if (shows_recall(chat_text_list[i]) && !has_recall_id(row)) {
      Json fields = Json::object();
      fields["recall_id"] = get_msg_id();
      db->update_message_fields("id", row.at("id"), fields);
      co_await handle_message_recall(text_of(row.at("msg_id")), nickname);
    } else if (is_later_by_2_minutes(now_time, text_of(row.at("timestamp")))) {
      Json fields = Json::object();
      fields["have_checked"] = "true";
      db->update_message_fields("id", row.at("id"), fields);
    }
  }
}

bool is_listened(const std::string& nickname) {
  const auto groups = config.groupName_list.value_or({});
  return std::find(groups.begin(), groups.end(), nickname) != groups.end();
}

}  // namespace

boost::asio::awaitable<void> deal_msg(std::string nickname) {
  config.wx.get()->ChatWith(nickname);
  logger()->info("检查新消息");
  if (config.firstCheckGroup.get(nickname).value_or(false)) {
    co_await new_messages(nickname);
  } else if (is_listened(nickname)) {
    getHistoricalNews(nickname);
  }
  co_await recalls_and_ageing(nickname);
}

}  // namespace orvanta::robot

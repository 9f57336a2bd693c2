// Record matching and store update for one window message.

#include "orvanta/robot/record_update.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "orvanta/errors.hpp"
#include "orvanta/message.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/image_capture.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/member_join.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/window_reads.hpp"
#include "picture_file.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kPicture = "[图片]";
constexpr std::string_view kRecall = "撤回了一条消息";
constexpr std::string_view kUnreadDivider = "下为新消息";

bool is_one_of(const std::optional<Json>& value, std::initializer_list<std::string_view> texts) {
  for (auto text : texts)
    if (is_text(value, text)) return true;
  return false;
}

}  // namespace

bool is_record_info(const Json& info) {
  if (!info.is_object()) return false;
  // A missing key reads as the empty text, as the guarded read gives it.
  const auto read = [&](const char* key) {
    const auto it = info.find(key);
    return it == info.end() ? Json("") : *it;
  };
  const Json msg_type = read("type");
  if (!is_one_of(msg_type, {"text", "other", "image", "base"})) return false;
  if (is_text(msg_type, "other") && text_contains(read("attr"), "base")) return false;
  if (is_text(msg_type, "base")) {
    if (text_contains(read("attr"), "time")) return false;
    if (is_text(read("attr"), "system") && text_contains(read("content"), kUnreadDivider)) return false;
  }
  return true;
}

bool is_record(const wxauto::WindowMessage& msg) {
  return is_record_info(info_or_empty(msg));
}

namespace {

// What is left to do once a message is stored: report it to deal_group_msg,
// report a joined member, or nothing.
struct NoEvent {};
struct JoinEvent {
  std::string name;
};
using Event = std::variant<NoEvent, Message, JoinEvent>;

// Builds the two records of one message, resolves what it refers to and
// stores it; gives the event to raise.
Event store_message(wxauto::WindowMessage& msg, const std::string& nickname) {
  const auto msg_type = guarded_read(msg, "type");
  const std::string my_name = config.my_wxName.get();
  const std::string shown = text_of(guarded_read(msg, "content"));

  MessageData msg_data{
      .group_name = nickname,
      .type = text_of(msg_type),
      .content = stored_content(text_of(msg_type), shown),
      .sender = msg.sender(),
      .msg_id = get_msg_id(),
      .quote_id = "",
      .quote_content = "",
      .recall_id = "",
      .image_url = "",
      .have_checked = "false",
      .status = "",
      .img_md5 = "",
      .timestamp = get_now(),
  };
  const auto remark = msg.sender_remark();
  Message send_data(remark, remark, my_name, nickname, msg_data.msg_id, my_name, "text", "", "", msg_data.content, "",
                    "");

  if (is_text(plain_read(msg, "attr"), "self") && !is_text(msg_type, "base")) {
    // The account's own lines, pictures and replies included, are stored
    // apart and never reported.
    msg_data.type = "self";
    msg_data.sender = my_name;
    update_db_messages(msg_data);
    return NoEvent{};
  }
  if (is_text(msg_type, "image")) {
    send_data.type = "image";
    auto download = msg.download();
    if (!download.path) throw OSError("the picture could not be downloaded: " + download.file_name);
    send_data.origin_pic_url = *download.path;
    send_data.origin_pic_name = download.file_name;
    // The file stays on disk, and the row says where.
    msg_data.img_md5 = picture_key(read_picture_file(*download.path));
    msg_data.image_url = *download.path;
  } else if (is_text(msg_type, "other")) {
    msg_data.quote_content = split_quote(shown).quoted;
    const auto db = config.db.get();
    Rows latest_msg_quote;
    if (msg_data.quote_content == kPicture) {
      // The quoted picture is found through the reply's own entry; a
      // failure leaves the reply unlinked instead of stopping listening.
      std::string img_md5;
      try {
        config.wx.get()->ChatWith(nickname);
        img_md5 = get_img_md5_of_entry(shown);
        print_line("img_md5: " + img_md5);
        if (img_md5.empty()) logger()->warn("reply in " + nickname + " left unlinked: the quoted picture gave no key");
      } catch (const std::exception& e) {
        logger()->warn("reply in " + nickname + " left unlinked (sender " + msg.sender().value_or("") + ", text \"" +
                       excerpt(msg_data.content) + "\"): " + e.what());
      }
      if (!img_md5.empty())
        latest_msg_quote = db->get_latest_messages(1, LatestQuery{.group_name = nickname, .img_md5 = img_md5});
    } else if (!msg_data.quote_content.empty()) {
      latest_msg_quote =
          db->get_latest_messages(1, LatestQuery{.group_name = nickname, .content = msg_data.quote_content});
    }
    if (!latest_msg_quote.empty()) {
      msg_data.quote_id = text_of(latest_msg_quote.front().at("msg_id"));
      send_data.reply = msg_data.quote_id;
    }
  } else if (is_text(msg_type, "base") && text_contains(guarded_read(msg, "content"), kRecall)) {
    // The recall itself is reported by the window pass, which knows which
    // stored message the notice replaced.
    msg_data.recall_id = get_msg_id();
    update_db_messages(msg_data);
    return NoEvent{};
  } else if (is_new_member_message(*msg.info())) {
    msg_data.have_checked = "true";
    update_db_messages(msg_data);
    // The invitation form names the inviter first; the handler is told who
    // joined (the account itself when it was invited).
    return JoinEvent{joined_member_names(shown, my_name)};
  } else if (!is_text(msg_type, "text")) {
    return NoEvent{};
  }

  update_db_messages(msg_data);
  return send_data;
}

}  // namespace

boost::asio::awaitable<void> db_update_msg(std::shared_ptr<wxauto::WindowMessage> msg, std::string nickname) {
  Event event = store_message(*msg, nickname);
  if (auto* send_data = std::get_if<Message>(&event)) {
    co_await deal_group_msg(std::move(*send_data));
  } else if (auto* join = std::get_if<JoinEvent>(&event)) {
    co_await group_increase_func(std::move(join->name), nickname);
  }
}

}  // namespace orvanta::robot

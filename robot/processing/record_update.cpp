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

// The text a reply quotes: what follows the first quote marker, up to a
// second one if there is one, without leading white space; empty text when
// there is no marker.
std::string quoted_text(const std::string& content) {
  const auto first = content.find(kQuoteMarker);
  if (first == std::string::npos) return {};
  const auto start = first + kQuoteMarker.size();
  const auto next = content.find(kQuoteMarker, start);
  return lstrip(std::string_view(content).substr(start, next == std::string::npos ? next : next - start));
}

}  // namespace

bool is_record(const wxauto::WindowMessage& msg) {
  const auto msg_type = guarded_read(msg, "type");
  if (!is_one_of(msg_type, {"text", "other", "image", "base"})) return false;
  if (is_text(msg_type, "other") && text_contains(guarded_read(msg, "attr"), "base")) return false;
  if (is_text(msg_type, "base")) {
    if (text_contains(guarded_read(msg, "attr"), "time")) return false;
    if (is_text(plain_read(msg, "attr"), "system") && text_contains(guarded_read(msg, "content"), kUnreadDivider))
      return false;
  }
  return true;
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

  MessageData msg_data{
      .group_name = nickname,
      .type = text_of(msg_type),
      .content = cut_before(text_of(guarded_read(msg, "content")), kQuoteMarker),
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

  if (is_text(msg_type, "image")) {
    send_data.type = "image";
    auto download = msg.download();
    if (!download.path) throw OSError("the picture could not be downloaded: " + download.file_name);
    send_data.origin_pic_url = *download.path;
    send_data.origin_pic_name = download.file_name;
    // The file stays on disk: the record handed on points at it.
    msg_data.img_md5 = picture_key(read_picture_file(*download.path));
  } else if (is_text(msg_type, "other")) {
    msg_data.quote_content = quoted_text(text_of(guarded_read(msg, "content")));
    const auto db = config.db.get();
    Rows latest_msg_quote;
    if (msg_data.quote_content == kPicture) {
      const std::string img_md5 = get_img_md5(msg_data.content);
      print_line("img_md5: " + img_md5);
      latest_msg_quote = db->get_latest_messages(1, LatestQuery{.group_name = nickname, .img_md5 = img_md5});
    } else {
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
  } else if (is_text(plain_read(msg, "attr"), "self")) {
    msg_data.type = "self";
    msg_data.sender = my_name;
    update_db_messages(msg_data);
    return NoEvent{};
  } else if (is_new_member_message(*msg.info())) {
    // The invitation form names the inviter first; the handler is told who
    // joined.
    JoinEvent join{joined_member_names(text_of(guarded_read(msg, "content")), my_name)};
    msg_data.have_checked = "true";
    update_db_messages(msg_data);
    return join;
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

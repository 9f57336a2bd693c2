// The task bridge's submissions as the host's client actions.

#include <utility>

#include "client_actions.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/task_bridge.hpp"

namespace orvanta::host {

ClientActions bridge_actions() {
  ClientActions a;
  a.send_text = [](std::string content, std::string who, std::optional<std::string> at) {
    robot::wx_send_msg(std::move(content), std::move(who), std::move(at));
  };
  a.send_private = [](std::string content, std::string who) {
    robot::wx_send_private_msg(std::move(content), std::move(who));
  };
  a.reply_with_quote = [](std::string msg_id, std::string text, std::string chat, std::optional<std::string> at) {
    robot::wx_reply_with_quote(std::move(msg_id), std::move(text), std::move(chat), std::move(at));
  };
  a.member_list = [](std::string chat) { return robot::wx_get_group_memberlist(std::move(chat)); };
  a.img_md5 = [](std::string content) { return robot::wx_get_img_md5(std::move(content)); };
  a.latest_quote = [](Json send_data) { return robot::get_latest_msg_quote(std::move(send_data)); };
  a.knows_message = [](const std::string& chat, const std::string& msg_id) {
    auto db = config.db.load();
    if (!db) return true;
    return !(*db)->get_latest_messages(1, LatestQuery{.group_name = chat, .msg_id = msg_id}).empty();
  };
  return a;
}

}  // namespace orvanta::host

#pragma once

// The operations of robot that the conductor calls: window processing, the
// group check, history synchronisation, client health, the group directory,
// picture keys and quoted replies.

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

namespace orvanta::robot {

boost::asio::awaitable<void> deal_msg(std::string nickname);
boost::asio::awaitable<void> check_group_member();
void getAllHistoricalNews();
void run_in_root();
std::vector<std::string> get_group_memberlist(const std::string& chat_name);
std::string get_img_md5(const std::string& content);
void reply_with_quote(const std::string& msg_id, const std::string& reply_text, const std::string& chat_name,
                      const std::optional<std::string>& at);

}  // namespace orvanta::robot

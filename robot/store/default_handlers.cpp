// The handlers in force until the host installs its own: each announces the
// event on standard output and does nothing else.

#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/output.hpp"

namespace orvanta::robot {

boost::asio::awaitable<void> default_deal_group_msg(Message) {
  print_line("处理群消息");
  co_return;
}

boost::asio::awaitable<void> default_deal_private_msg(std::string, std::string) {
  print_line("处理私人消息");
  co_return;
}

boost::asio::awaitable<void> default_group_increase_func(std::string, std::string) {
  print_line("处理新人加群");
  co_return;
}

boost::asio::awaitable<void> default_handle_message_recall(std::string, std::string) {
  print_line("处理消息撤回");
  co_return;
}

boost::asio::awaitable<void> default_report_gap(std::string, std::string) {
  co_return;
}

Slot<GroupMsgHandler> deal_group_msg{"deal_group_msg", default_deal_group_msg};
Slot<PrivateMsgHandler> deal_private_msg{"deal_private_msg", default_deal_private_msg};
Slot<GroupIncreaseHandler> group_increase_func{"group_increase_func", default_group_increase_func};
Slot<MessageRecallHandler> handle_message_recall{"handle_message_recall", default_handle_message_recall};
Slot<GapHandler> report_gap{"report_gap", default_report_gap};
Slot<ReplyOperation> reply{"reply", nullptr};

}  // namespace orvanta::robot

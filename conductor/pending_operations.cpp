// Stand-ins until the robot operations of robot_operations.hpp are built.

#include <stdexcept>

#include "robot_operations.hpp"

namespace orvanta::robot {

boost::asio::awaitable<void> deal_msg(std::string) {
  throw std::logic_error("deal_msg is not built yet");
  co_return;
}
boost::asio::awaitable<void> check_group_member() {
  throw std::logic_error("check_group_member is not built yet");
  co_return;
}
void getAllHistoricalNews() {
  throw std::logic_error("getAllHistoricalNews is not built yet");
}
void run_in_root() {
  throw std::logic_error("run_in_root is not built yet");
}
std::vector<std::string> get_group_memberlist(const std::string&) {
  throw std::logic_error("get_group_memberlist is not built yet");
}
std::string get_img_md5(const std::string&) {
  throw std::logic_error("get_img_md5 is not built yet");
}
void reply_with_quote(const std::string&, const std::string&, const std::string&, const std::optional<std::string>&) {
  throw std::logic_error("reply_with_quote is not built yet");
}

}  // namespace orvanta::robot

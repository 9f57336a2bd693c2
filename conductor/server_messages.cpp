// The entry for server messages and the host's member watch.

#include <utility>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/output.hpp"

namespace orvanta::conductor {

boost::asio::awaitable<void> handle_server_message(Json message) {
  robot::reply(std::move(message));
  co_return;
}

boost::asio::awaitable<void> default_deal_group_members() {
  print_line("deal_group_members");
  co_return;
}

void start_listening_group_members(std::function<boost::asio::awaitable<void>()> fun) {
  deal_group_members = std::move(fun);
}

}  // namespace orvanta::conductor

// The group names and member lists read from the client.

#include "orvanta/robot/group_directory.hpp"

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {

void collect_group_names() {
  auto wx = config.wx.get();
  wx->SwitchToContact();
  config.groupName_list.set(wx->CollectAllGroupNames());
  wx->SwitchToChat();
  // Gives the client time to show the chat page again.
  timing::sleep(0.2);
}

std::vector<std::string> get_group_memberlist(const std::string& chat_name) {
  auto wx = config.wx.get();
  wx->ChatWith(chat_name);
  std::vector<std::string> members = wx->GetGroupMembers();
  update_db_group_member(chat_name, members);
  return members;
}

}  // namespace orvanta::robot

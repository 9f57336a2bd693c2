#pragma once

// Group information read from the client: the names of all group chats, and
// the member list of one group.
//
// Thread-safety: both drive the client's window and take no lock; the task
// consumer runs get_group_memberlist on the thread that drives the client.

#include <string>
#include <vector>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// "收集所有微信群聊名称"
// Replaces config.groupName_list with the group names from the contacts
// page, then returns the client to its chat page. Errors pass to the caller;
// when reading the names fails, the list keeps its old value and the client
// stays on the contacts page.
ORVANTA_ROBOT_EXPORT void collect_group_names();

// "查找目标群的群成员"
//   chat_name: "目标群".
// Opens the group, reads its member list, stores it in the message store and
// returns it unchanged. Errors pass to the caller; when storing fails the
// list is not returned.
ORVANTA_ROBOT_EXPORT std::vector<std::string> get_group_memberlist(const std::string& chat_name);

}  // namespace orvanta::robot

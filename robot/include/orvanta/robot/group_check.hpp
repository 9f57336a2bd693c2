#pragma once

// The round-robin visit of the listened groups, one per idle cycle of the
// listening loop, and the reset of the groups' history flags.
//
// Thread-safety: check_group_member runs on the listening thread, one call
// at a time; the pass bookkeeping lives in config.

#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// Visits one listened group not yet visited in the current pass: logs
// "轮询到群<name>", awaits deal_msg for it, logs "完成轮询群<name>，等待时间"
// and pauses 3 seconds. The call after every distinct listed name has been
// visited closes the pass instead: it logs
// "新一轮轮询，上一轮轮询用时<seconds>秒，涉及群<number of names listed>个",
// empties config.have_check_groupName_list and starts timing the next pass.
// A list holding a name twice, or replaced during a pass, still ends the pass
// once each of its distinct names has been visited. Catches nothing.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> check_group_member();

// Fair visits: every listened group is read at least every
// group_visit_interval() seconds (10 by default), even while other chats keep
// the poll busy. deal_msg notes each visit; visit_overdue_group reads the
// listened group read longest ago when that was more than the interval ago
// (a group is first counted as read when first seen) and says whether it
// did.
ORVANTA_ROBOT_EXPORT void note_group_visit(const std::string& group);
ORVANTA_ROBOT_EXPORT void set_group_visit_interval(double seconds);
// Forgets every visit (a new start of listening counts from its own start).
ORVANTA_ROBOT_EXPORT void forget_group_visits();
ORVANTA_ROBOT_EXPORT double group_visit_interval();
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<bool> visit_overdue_group();

// Sets the flag of every group already in config.firstCheckGroup: true when
// the group is in `list`, false otherwise. Adds and removes no group.
ORVANTA_ROBOT_EXPORT void update_group_member_list(const std::vector<std::string>& list);

}  // namespace orvanta::robot

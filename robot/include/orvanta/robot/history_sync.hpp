#pragma once

// Taking what a chat window already shows as handled history, so that only
// what comes after it is reported as new.
//
// Thread-safety: both drive the client directly and run on the caller's
// thread (before listening starts, or on the listening thread).

#include <string>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// Asks the group-management server for the groups to listen to (a GET of
// config.get_listening_group_url followed by config.my_wxName, with the
// fetching time limits). On an answer whose "code" is the number 200, stores
// the "name" of every "data" entry as config.groupName_list and synchronises
// each group in turn. Any other answer changes nothing. Every ordinary error,
// a group's synchronisation included, is printed and ends the call; the
// groups after a failing one are not synchronised.
ORVANTA_ROBOT_EXPORT void getAllHistoricalNews();

// Stores every record the window of chat `nickname` shows as checked history
// (status "200"): the account's own messages are left out, quotes are
// resolved among the records before them, recall notices are stored as
// "text" with a recall identifier, friends' pictures are keyed (one whose
// download gives no path is logged as "图片下载失败" and left out). Then the
// chat's flag in config.firstCheckGroup is set. Catches nothing else.
ORVANTA_ROBOT_EXPORT void getHistoricalNews(const std::string& nickname);

}  // namespace orvanta::robot

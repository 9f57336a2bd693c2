#pragma once

// The process-wide shared state `config`, through which the two libraries and
// the host exchange the client driver, the store, the task queue and the
// bookkeeping of the group checks. The one object is defined in the robot
// library (orvanta/robot/config.hpp declares it).
//
// Every attribute may be read and written from any thread: attributes that
// are replaced whole are published atomically, and the two mappings that are
// changed in place guard themselves.

#include <memory>
#include <string>
#include <vector>

#include "orvanta/message_db.hpp"
#include "orvanta/shared.hpp"
#include "orvanta/ws_client.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta {

// Defined by the task bridge of the robot library (orvanta/robot/
// loop_handle.hpp and task_bridge.hpp).
class LoopHandle;
class TaskQueue;
class TaskFuture;

// Prefix of message identifiers until the host supplies its own.
inline constexpr const char* kDefaultIdPrefix = "wx";

struct Config {
  // The message store; every store access goes through it.
  Attribute<std::shared_ptr<MessageDB>> db{"db"};
  // The client driver; every client access goes through it.
  Attribute<std::shared_ptr<wxauto::WeChat>> wx{"wx"};
  // Display name of the logged-in account.
  Attribute<std::string> my_wxName{"my_wxName"};
  // A handle on the event loop of the listening thread, and that loop's
  // queue of client tasks.
  Attribute<std::shared_ptr<LoopHandle>> wx_task_loop{"wx_task_loop"};
  Attribute<std::shared_ptr<TaskQueue>> wx_task_queue{"wx_task_queue"};
  // Futures of pending value-returning tasks, by task identifier.
  FutureMap<TaskFuture> task_futures;
  // The host's connection to the group-management server.
  Attribute<std::shared_ptr<WsClient>> ws_client{"ws_client"};
  // Seconds since the epoch bounding the current pass of the group check.
  Attribute<double> _start_time{"_start_time"};
  Attribute<double> _end_time{"_end_time"};
  Attribute<double> check_group_members_time_start{"check_group_members_time_start"};
  Attribute<double> check_group_members_time_end{"check_group_members_time_end"};
  // The listened groups.
  Attribute<std::vector<std::string>> groupName_list{"groupName_list", {}};
  // Address of the server service that lists the groups to listen to.
  Attribute<std::string> get_listening_group_url{"get_listening_group_url"};
  // Group name -> whether its history has been synchronised.
  FlagMap firstCheckGroup;
  // Prefix of every message identifier.
  Attribute<std::string> id前缀{"id前缀", kDefaultIdPrefix};
  // Groups visited in the current pass of the group check.
  Attribute<std::vector<std::string>> have_check_groupName_list{"have_check_groupName_list", {}};
  // The client's offline notice.
  Attribute<std::string> offline_msg{"offline_msg"};

  // Puts every attribute back to its load-time value.
  void reset() {
    db.reset();
    wx.reset();
    my_wxName.reset();
    wx_task_loop.reset();
    wx_task_queue.reset();
    task_futures.clear();
    ws_client.reset();
    _start_time.reset();
    _end_time.reset();
    check_group_members_time_start.reset();
    check_group_members_time_end.reset();
    groupName_list.set({});
    get_listening_group_url.reset();
    firstCheckGroup.clear();
    id前缀.set(kDefaultIdPrefix);
    have_check_groupName_list.set({});
    offline_msg.reset();
  }
};

}  // namespace orvanta

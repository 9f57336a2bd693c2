// The round-robin check of the listened groups.

#include "orvanta/robot/group_check.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/robot/window_processing.hpp"

namespace orvanta::robot {
namespace {

// Pause after each visit, yielding to the event loop.
constexpr double kPauseAfterVisit = 3.0;

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// When each group was last read, and how long a listened group may go
// unread while other chats keep the poll busy.
struct Visits {
  std::mutex mu;
  std::map<std::string, double> last;
  double interval = 10.0;
};

Visits& visits() {
  static Visits v;
  return v;
}

}  // namespace

void note_group_visit(const std::string& group) {
  Visits& v = visits();
  std::lock_guard guard(v.mu);
  v.last[group] = timing::time();
}

void forget_group_visits() {
  Visits& v = visits();
  std::lock_guard guard(v.mu);
  v.last.clear();
}

void set_group_visit_interval(double seconds) {
  Visits& v = visits();
  std::lock_guard guard(v.mu);
  v.interval = seconds;
}

double group_visit_interval() {
  Visits& v = visits();
  std::lock_guard guard(v.mu);
  return v.interval;
}

boost::asio::awaitable<bool> visit_overdue_group() {
  std::optional<std::string> overdue;
  {
    Visits& v = visits();
    std::lock_guard guard(v.mu);
    const double now = timing::time();
    double oldest = now - v.interval;
    for (const std::string& group : config.groupName_list.value_or({})) {
      const auto it = v.last.find(group);
      // A group never read counts as read when first seen, so that a start
      // does not visit every group at once.
      if (it == v.last.end()) {
        v.last[group] = now;
        continue;
      }
      if (it->second <= oldest) {
        oldest = it->second;
        overdue = group;
      }
    }
  }
  if (!overdue) co_return false;
  logger()->info("群" + *overdue + "超过" + python_float_text(group_visit_interval()) + "秒未读取，读取一次");
  co_await deal_msg(*overdue);
  co_return true;
}

boost::asio::awaitable<void> check_group_member() {
  if (!config._start_time.has_value()) config._start_time.set(timing::time());
  const std::vector<std::string> groups = config.groupName_list.value_or({});
  if (groups.empty()) co_return;
  std::vector<std::string> visited = config.have_check_groupName_list.value_or({});

  // The pass ends once every distinct listed name has been visited. Counting
  // visits against the length of the list instead would never end a pass
  // whose list holds a name twice or changed since the pass began.
  const auto next =
      std::find_if(groups.begin(), groups.end(), [&](const std::string& name) { return !contains(visited, name); });
  if (next == groups.end()) {
    config.have_check_groupName_list.set({});
    const double end_time = timing::time();
    config._end_time.set(end_time);
    logger()->info("新一轮轮询，上一轮轮询用时" + python_float_text(end_time - config._start_time.get()) +
                   "秒，涉及群" + std::to_string(groups.size()) + "个");
    config._start_time.set(timing::time());
    co_return;
  }

  const std::string group = *next;
  visited.push_back(group);
  config.have_check_groupName_list.set(std::move(visited));
  logger()->info("轮询到群" + group);
  co_await deal_msg(group);
  logger()->info("完成轮询群" + group + "，等待时间");
  co_await timing::async_sleep(kPauseAfterVisit);
}

void update_group_member_list(const std::vector<std::string>& list) {
  for (const auto& [name, flag] : config.firstCheckGroup.items())
    config.firstCheckGroup.set(name, contains(list, name));
}

}  // namespace orvanta::robot

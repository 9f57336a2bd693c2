#pragma once

// Work on a clock: a function run every day at a fixed local time, and the
// periodic hard clean-up of sent records.
//
// Both tasks run on the event loop that awaits them and never finish on
// their own; they end when their task is cancelled (also in the middle of a
// wait or of the called function) or when an error escapes them. Their waits
// go through the timing facility, their "now" is timing::now().

#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "orvanta/robot/export.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {

// Seconds (with fraction) from `now` to the next `hour`:`minute`:00.000000
// local time: today's if it is still ahead, tomorrow's otherwise (a target
// equal to `now` counts as passed). Tomorrow is the next calendar day, so on
// a day when the clocks change the wait is an hour shorter or longer than the
// wall-clock difference suggests.
// Raises ValueError when hour is outside 0..23 or minute outside 0..59.
ORVANTA_ROBOT_EXPORT double seconds_until_daily(int hour, int minute, timing::SystemTime now);

// 定时每天某一时间执行func函数: hour 某时, minute 某分, func 需要执行的函数,
// with its name for the printed lines.
// Calls `func` every day at `hour`:`minute` local time, forever. Before each
// wait prints "距离下次执行<func_name>还有<hours, two decimals>小时". An
// ordinary error of the call is printed as "定时任务<func_name>异常: <text>"
// and the next day's call still happens. Only the cancellation of this task
// ends it (with the error the cancelled work ended with); an
// operation_aborted error raised by the work while the task was not
// cancelled is an ordinary error.
// Ends with ValueError for an hour or minute out of range or an empty name,
// TypeError for an empty function, before any wait.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> run_daily_at(int hour, int minute, std::string func_name,
                                                               std::function<void()> func);

// As above for a function that returns an awaitable task: the task is awaited
// to its end (its errors are reported like those of the call) before the next
// target is computed.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> run_daily_at(int hour, int minute, std::string func_name,
                                                               std::function<boost::asio::awaitable<void>()> func);

namespace detail {

template <class T>
struct is_awaitable : std::false_type {};
template <class T, class E>
struct is_awaitable<boost::asio::awaitable<T, E>> : std::true_type {};

// Awaits `task` and drops its result, as awaiting it in a statement would.
template <class T>
boost::asio::awaitable<void> discard_result(boost::asio::awaitable<T> task) {
  co_await std::move(task);
}

template <class F>
bool is_empty_callable(const F& f) {
  if constexpr (std::is_pointer_v<F> || std::is_member_pointer_v<F>) {
    return f == nullptr;
  } else if constexpr (requires(const F& g) { g.operator bool(); }) {
    return !static_cast<bool>(f);
  } else {
    return false;
  }
}

}  // namespace detail

// Any callable with the arguments to pass it on every call, which are kept by
// value for the life of the task:
//   run_daily_at(3, 0, "backup", backup, "/data", 7)
// A callable returning a task (boost::asio::awaitable<T>) is awaited and the
// task's result, if any, discarded; any other result is discarded.
template <class F, class... Args, class = std::enable_if_t<std::is_invocable_v<F&, Args&...>>>
boost::asio::awaitable<void> run_daily_at(int hour, int minute, std::string func_name, F func, Args... args) {
  using Result = std::invoke_result_t<F&, Args&...>;
  if constexpr (detail::is_awaitable<Result>::value) {
    static_assert(std::is_same_v<typename Result::executor_type, boost::asio::any_io_executor>,
                  "run_daily_at: a task is awaited on the loop's default executor type");
    std::function<boost::asio::awaitable<void>()> call;
    if (!detail::is_empty_callable(func)) {
      call = [func = std::move(func), ... args = std::move(args)]() mutable -> boost::asio::awaitable<void> {
        if constexpr (std::is_void_v<typename Result::value_type>) {
          return std::invoke(func, args...);
        } else {
          return detail::discard_result(std::invoke(func, args...));
        }
      };
    }
    return run_daily_at(hour, minute, std::move(func_name), std::move(call));
  } else {
    std::function<void()> call;
    if (!detail::is_empty_callable(func)) {
      call = [func = std::move(func), ... args = std::move(args)]() mutable { std::invoke(func, args...); };
    }
    return run_daily_at(hour, minute, std::move(func_name), std::move(call));
  }
}

// Forever: waits `interval` seconds, then runs cleanup_sent_messages_hard()
// on the loop's thread (blocking it meanwhile). An ordinary error of the
// clean-up is logged at error level as "数据库操作出错: <text>" and the loop
// goes on. The first clean-up happens one interval after the start.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> fetch_periodically3(double interval);

}  // namespace orvanta::robot

// The daily timer and the periodic clean-up task.

#include "orvanta/robot/timers.hpp"

#include <chrono>
#include <ctime>
#include <exception>

#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/store_operations.hpp"

namespace orvanta::robot {
namespace {

using Clock = std::chrono::system_clock;

void check_time_of_day(int hour, int minute) {
  if (hour < 0 || hour > 23) throw ValueError("hour must be in 0..23");
  if (minute < 0 || minute > 59) throw ValueError("minute must be in 0..59");
}

// `day` with its time of day replaced by hour:minute:00 and its day of the
// month moved by `days`, read as local time (the zone's own rules decide
// whether daylight saving applies).
Clock::time_point local_time_on(std::tm day, int hour, int minute, int days) {
  day.tm_hour = hour;
  day.tm_min = minute;
  day.tm_sec = 0;
  day.tm_mday += days;
  day.tm_isdst = -1;
  return Clock::from_time_t(os::make_local_time(day));
}

void check_task(int hour, int minute, const std::string& func_name, bool has_func) {
  check_time_of_day(hour, minute);
  if (func_name.empty()) throw ValueError("run_daily_at: the function has no name");
  if (!has_func) throw TypeError("run_daily_at: the function to run is empty");
}

// Announces the next run and waits for it.
boost::asio::awaitable<void> wait_for_next_run(int hour, int minute, const std::string& func_name) {
  const double wait = seconds_until_daily(hour, minute, timing::now());
  print_line(fmt::format("距离下次执行{}还有{:.2f}小时", func_name, wait / 3600.0));
  co_await timing::async_sleep(wait);
}

// REQUIRES: `failure` holds a std::exception.
void report_failure(const std::string& func_name, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    print_line(fmt::format("定时任务{}异常: {}", func_name, e.what()));
  }
}

}  // namespace

double seconds_until_daily(int hour, int minute, timing::SystemTime now) {
  check_time_of_day(hour, minute);
  const std::time_t now_seconds = Clock::to_time_t(std::chrono::floor<std::chrono::seconds>(now));
  const std::tm today = os::local_time(now_seconds);
  Clock::time_point target = local_time_on(today, hour, minute, 0);
  if (target <= now) target = local_time_on(today, hour, minute, 1);
  return std::chrono::duration<double>(target - now).count();
}

boost::asio::awaitable<void> run_daily_at(int hour, int minute, std::string func_name, std::function<void()> func) {
  check_task(hour, minute, func_name, static_cast<bool>(func));
  for (;;) {
    co_await wait_for_next_run(hour, minute, func_name);
    std::exception_ptr failure;
    try {
      func();
    } catch (const std::exception&) {
      failure = std::current_exception();
    }
    if (failure) {
      rethrow_if_cancelled(co_await boost::asio::this_coro::cancellation_state, failure);
      report_failure(func_name, failure);
    }
  }
}

boost::asio::awaitable<void> run_daily_at(int hour, int minute, std::string func_name,
                                          std::function<boost::asio::awaitable<void>()> func) {
  check_task(hour, minute, func_name, static_cast<bool>(func));
  for (;;) {
    co_await wait_for_next_run(hour, minute, func_name);
    std::exception_ptr failure;
    try {
      co_await func();
    } catch (const std::exception&) {
      failure = std::current_exception();
    }
    if (failure) {
      rethrow_if_cancelled(co_await boost::asio::this_coro::cancellation_state, failure);
      report_failure(func_name, failure);
    }
  }
}

boost::asio::awaitable<void> fetch_periodically3(double interval) {
  for (;;) {
    co_await timing::async_sleep(interval);
    try {
      cleanup_sent_messages_hard();
    } catch (const std::exception& e) {
      logger()->error("数据库操作出错: {}", e.what());
    }
  }
}

}  // namespace orvanta::robot

#include "orvanta/robot/timers.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/local_time.hpp"
#include "support/tls_server.hpp"

namespace orvanta::robot {
namespace {

using std::chrono::microseconds;
using ::testing::HasSubstr;

// Puts the process in the time zone `tz` (POSIX rule text, so no zone files
// are needed) for the life of the object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Without daylight saving, nine hours ahead of UTC.
constexpr const char* kTokyo = "JST-9";
// Central European time: summer time from the last Sunday of March, 02:00,
// to the last Sunday of October, 03:00.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

timing::SystemTime local(int year, int month, int day, int hour, int minute, int second, int micros = 0) {
  return testing::local_time(year, month, day, hour, minute, second, micros);
}

// --- the wait until the next run ------------------------------------------

TEST(SecondsUntilDaily, MidnightSeenFromTenInTheMorningIsFourteenHoursAway) {
  ScopedTimeZone tz(kTokyo);
  EXPECT_DOUBLE_EQ(seconds_until_daily(0, 0, local(2026, 5, 10, 10, 0, 0)), 14 * 3600.0);
}

TEST(SecondsUntilDaily, ATargetEqualToNowCountsAsPassed) {
  ScopedTimeZone tz(kTokyo);
  EXPECT_DOUBLE_EQ(seconds_until_daily(0, 0, local(2026, 5, 10, 0, 0, 0, 0)), 86400.0);
  EXPECT_DOUBLE_EQ(seconds_until_daily(14, 30, local(2026, 5, 10, 14, 30, 0, 0)), 86400.0);
}

TEST(SecondsUntilDaily, HalfASecondBeforeMidnightWaitsHalfASecond) {
  ScopedTimeZone tz(kTokyo);
  EXPECT_DOUBLE_EQ(seconds_until_daily(0, 0, local(2026, 5, 10, 23, 59, 59, 500000)), 0.5);
}

TEST(SecondsUntilDaily, AMicrosecondBeforeTheTargetIsStillToday) {
  ScopedTimeZone tz(kTokyo);
  EXPECT_NEAR(seconds_until_daily(10, 0, local(2026, 5, 10, 9, 59, 59, 999999)), 1e-6, 1e-9);
  EXPECT_NEAR(seconds_until_daily(10, 0, local(2026, 5, 10, 10, 0, 0, 1)), 86400.0 - 1e-6, 1e-6);
}

TEST(SecondsUntilDaily, ALaterTimeTodayIsWaitedForToday) {
  ScopedTimeZone tz(kTokyo);
  EXPECT_DOUBLE_EQ(seconds_until_daily(20, 15, local(2026, 5, 10, 8, 30, 0)), 11.75 * 3600.0);
}

TEST(SecondsUntilDaily, CountsInLocalTimeNotUtc) {
  ScopedTimeZone tz(kTokyo);
  // 2026-01-01 00:00 UTC is 09:00 in Tokyo: 10:00 is one hour away.
  const auto utc_midnight = std::chrono::sys_days(std::chrono::year(2026) / 1 / 1);
  EXPECT_DOUBLE_EQ(seconds_until_daily(10, 0, utc_midnight), 3600.0);
}

TEST(SecondsUntilDaily, TheDayTheClocksGoForwardIsAnHourShorter) {
  ScopedTimeZone tz(kBerlin);
  // Summer time starts on 2026-03-29 at 02:00.
  EXPECT_DOUBLE_EQ(seconds_until_daily(12, 0, local(2026, 3, 28, 12, 0, 0)), 23 * 3600.0);
  // From 01:00 winter time to 04:00 summer time is two real hours.
  EXPECT_DOUBLE_EQ(seconds_until_daily(4, 0, local(2026, 3, 29, 1, 0, 0)), 2 * 3600.0);
}

TEST(SecondsUntilDaily, TheDayTheClocksGoBackIsAnHourLonger) {
  ScopedTimeZone tz(kBerlin);
  // Summer time ends on 2026-10-25 at 03:00.
  EXPECT_DOUBLE_EQ(seconds_until_daily(12, 0, local(2026, 10, 24, 12, 0, 0)), 25 * 3600.0);
}

TEST(SecondsUntilDaily, RejectsTimesOfDayOutOfRange) {
  const auto now = timing::now();
  EXPECT_THROW(seconds_until_daily(24, 0, now), ValueError);
  EXPECT_THROW(seconds_until_daily(-1, 0, now), ValueError);
  EXPECT_THROW(seconds_until_daily(0, 60, now), ValueError);
  EXPECT_THROW(seconds_until_daily(0, -1, now), ValueError);
  EXPECT_NO_THROW(seconds_until_daily(23, 59, now));
}

// --- running the tasks under the fast clock --------------------------------

// Runs the loop until `done()` holds; gives up after some 20 s of real time
// so that a fault shows as a failed expectation rather than a hung test.
template <class Pred>
bool run_until(boost::asio::io_context& loop, Pred done) {
  for (int i = 0; i < 20000 && !done(); ++i) {
    // A loop that ran out of work stays stopped until restarted.
    if (loop.stopped()) loop.restart();
    loop.run_one_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Lets the loop serve what is due now (a few real milliseconds).
void settle(boost::asio::io_context& loop) {
  for (int i = 0; i < 5; ++i) {
    if (loop.stopped()) loop.restart();
    loop.run_one_for(std::chrono::milliseconds(1));
  }
}

// A task started on a loop, with a switch to cancel it and the outcome.
struct Started {
  boost::asio::cancellation_signal cancel;
  bool finished = false;
  std::exception_ptr failure;
};

std::unique_ptr<Started> start(boost::asio::io_context& loop, boost::asio::awaitable<void> task) {
  auto started = std::make_unique<Started>();
  Started* s = started.get();
  boost::asio::co_spawn(loop, std::move(task),
                        boost::asio::bind_cancellation_slot(s->cancel.slot(), [s](std::exception_ptr e) {
                          s->finished = true;
                          s->failure = e;
                        }));
  return started;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The hours announced by a line "距离下次执行<name>还有<hours>小时".
double announced_hours(const std::string& line, const std::string& name) {
  const std::string head = "距离下次执行" + name + "还有";
  const std::string tail = "小时";
  if (line.rfind(head, 0) != 0 || line.size() < head.size() + tail.size() ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
    return -1;
  return std::stod(line.substr(head.size(), line.size() - head.size() - tail.size()));
}

bool ended_by_cancellation(const std::exception_ptr& failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
  }
  return false;
}

class DailyTask : public ::testing::Test {
 protected:
  void SetUp() override { ::testing::internal::CaptureStdout(); }
  void TearDown() override {
    if (!captured_) ::testing::internal::GetCapturedStdout();
    timing::set_now(std::chrono::system_clock::now());
  }
  std::vector<std::string> printed() {
    captured_ = true;
    return lines_of(::testing::internal::GetCapturedStdout());
  }

  ScopedTimeZone tz_{kTokyo};
  boost::asio::io_context loop_;
  bool captured_ = false;
};

TEST_F(DailyTask, AnnouncesTheWaitCallsAtMidnightAndAnnouncesTheNextDay) {
  timing::set_now(local(2026, 5, 10, 10, 0, 0));
  int calls = 0;
  auto task = start(loop_, run_daily_at(0, 0, "midnight_job", std::function<void()>([&] { ++calls; })));
  settle(loop_);
  // A minute short of midnight nothing has run yet.
  timing::advance(14 * 3600.0 - 60);
  settle(loop_);
  EXPECT_EQ(calls, 0);
  timing::advance(60);
  ASSERT_TRUE(run_until(loop_, [&] { return calls == 1; }));
  settle(loop_);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));

  const auto lines = printed();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "距离下次执行midnight_job还有14.00小时");
  // Computed just after the run at midnight: the next midnight, a day away.
  EXPECT_NEAR(announced_hours(lines[1], "midnight_job"), 24.0, 0.015);
  EXPECT_EQ(calls, 1);
}

TEST_F(DailyTask, TheNextTargetIsComputedAfterAnAwaitedFunctionHasFinished) {
  timing::set_now(local(2026, 5, 10, 23, 0, 0));
  bool started = false;
  bool finished = false;
  auto job = [&]() -> boost::asio::awaitable<void> {
    started = true;
    co_await timing::async_sleep(2 * 3600.0);
    finished = true;
  };
  auto task = start(loop_, run_daily_at(0, 0, "long_job", job));
  settle(loop_);
  timing::advance(3600);
  ASSERT_TRUE(run_until(loop_, [&] { return started; }));
  settle(loop_);
  EXPECT_FALSE(finished);
  timing::advance(2 * 3600.0);
  ASSERT_TRUE(run_until(loop_, [&] { return finished; }));
  settle(loop_);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));

  const auto lines = printed();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "距离下次执行long_job还有1.00小时");
  // The job ended at about 02:00, so the next midnight is 22 hours away.
  EXPECT_NEAR(announced_hours(lines[1], "long_job"), 22.0, 0.015);
}

TEST_F(DailyTask, AFailingFunctionIsReportedAndRunsAgainTheNextDay) {
  timing::set_now(local(2026, 5, 10, 12, 0, 0));
  int calls = 0;
  auto task = start(loop_, run_daily_at(12, 30, "flaky", std::function<void()>([&] {
                                          ++calls;
                                          throw std::runtime_error("boom " + std::to_string(calls));
                                        })));
  settle(loop_);
  timing::advance(1800);
  ASSERT_TRUE(run_until(loop_, [&] { return calls == 1; }));
  settle(loop_);
  timing::advance(86400);
  ASSERT_TRUE(run_until(loop_, [&] { return calls == 2; }));
  settle(loop_);
  EXPECT_FALSE(task->finished);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));

  const auto lines = printed();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "距离下次执行flaky还有0.50小时");
  EXPECT_EQ(lines[1], "定时任务flaky异常: boom 1");
  EXPECT_EQ(lines[3], "定时任务flaky异常: boom 2");
  EXPECT_NEAR(announced_hours(lines[4], "flaky"), 24.0, 0.015);
}

TEST_F(DailyTask, AnAwaitedFunctionThatFailsIsReportedLikeACall) {
  timing::set_now(local(2026, 5, 10, 5, 59, 0));
  bool failed = false;
  auto job = [&]() -> boost::asio::awaitable<void> {
    co_await timing::async_sleep(10);
    failed = true;
    throw ValueError("bad data");
  };
  auto task = start(loop_, run_daily_at(6, 0, "async_job", job));
  settle(loop_);
  timing::advance(70);
  ASSERT_TRUE(run_until(loop_, [&] { return failed; }));
  settle(loop_);
  EXPECT_FALSE(task->finished);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));

  const auto lines = printed();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "定时任务async_job异常: bad data");
}

TEST_F(DailyTask, PassesTheBoundArgumentsOnEveryCall) {
  timing::set_now(local(2026, 5, 10, 7, 0, 0));
  std::vector<std::string> seen;
  auto job = [&seen](const std::string& who, int n) { seen.push_back(who + ":" + std::to_string(n)); };
  auto task = start(loop_, run_daily_at(8, 0, "greet", job, std::string("群主"), 3));
  settle(loop_);
  timing::advance(3600);
  ASSERT_TRUE(run_until(loop_, [&] { return seen.size() == 1; }));
  timing::advance(86400);
  ASSERT_TRUE(run_until(loop_, [&] { return seen.size() == 2; }));
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
  printed();
  EXPECT_EQ(seen, (std::vector<std::string>{"群主:3", "群主:3"}));
}

TEST_F(DailyTask, CancellationDuringTheWaitEndsTheTaskWithoutCalling) {
  timing::set_now(local(2026, 5, 10, 10, 0, 0));
  int calls = 0;
  auto task = start(loop_, run_daily_at(11, 0, "never", std::function<void()>([&] { ++calls; })));
  settle(loop_);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
  EXPECT_TRUE(ended_by_cancellation(task->failure));
  timing::advance(7200);
  settle(loop_);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(printed(), (std::vector<std::string>{"距离下次执行never还有1.00小时"}));
}

TEST_F(DailyTask, CancellationInsideTheAwaitedFunctionEndsTheTaskUnreported) {
  timing::set_now(local(2026, 5, 10, 10, 0, 0));
  bool started = false;
  bool resumed = false;
  auto job = [&]() -> boost::asio::awaitable<void> {
    started = true;
    co_await timing::async_sleep(3600);
    resumed = true;
  };
  auto task = start(loop_, run_daily_at(10, 30, "interrupted", job));
  settle(loop_);
  timing::advance(1800);
  ASSERT_TRUE(run_until(loop_, [&] { return started; }));
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
  EXPECT_TRUE(ended_by_cancellation(task->failure));
  EXPECT_FALSE(resumed);
  // Only the announcement: the cancellation was not reported as a failure.
  EXPECT_EQ(printed().size(), 1u);
}

// An operation_aborted error raised by the work while the task itself was
// not cancelled (here a timer that someone else cancelled, and a plain throw)
// is an ordinary failure: reported, and the task goes on to the next day.
TEST_F(DailyTask, AnAbortedOperationInsideTheWorkIsAnOrdinaryFailure) {
  std::string aborted_text;
  int calls = 0;
  std::unique_ptr<boost::asio::steady_timer> timer;
  auto closed_under_it = [&]() -> boost::asio::awaitable<void> {
    ++calls;
    timer = std::make_unique<boost::asio::steady_timer>(loop_, std::chrono::hours(1));
    try {
      co_await timer->async_wait(boost::asio::use_awaitable);
    } catch (const boost::system::system_error& e) {
      aborted_text = e.what();
      throw;
    }
  };
  auto thrown = [&] {
    ++calls;
    boost::system::system_error e(boost::asio::error::operation_aborted);
    aborted_text = e.what();
    throw e;
  };
  struct Case {
    std::string name;
    boost::asio::awaitable<void> task;
  };
  Case cases[] = {{"closed", run_daily_at(10, 30, "closed", closed_under_it)},
                  {"thrown", run_daily_at(10, 30, "thrown", std::function<void()>(thrown))}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    timing::set_now(local(2026, 5, 10, 10, 0, 0));
    calls = 0;
    timer.reset();
    aborted_text.clear();
    auto task = start(loop_, std::move(c.task));
    settle(loop_);
    timing::advance(1800);
    ASSERT_TRUE(run_until(loop_, [&] { return calls == 1; }));
    if (timer) timer->cancel();
    ASSERT_TRUE(run_until(loop_, [&] { return !aborted_text.empty(); }));
    settle(loop_);
    timing::advance(86400);
    ASSERT_TRUE(run_until(loop_, [&] { return calls == 2; }));
    if (timer) timer->cancel();
    settle(loop_);
    EXPECT_FALSE(task->finished);
    task->cancel.emit(boost::asio::cancellation_type::terminal);
    ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
    EXPECT_TRUE(ended_by_cancellation(task->failure));
  }

  const auto lines = printed();
  // Per task: announcement, report, announcement, report, announcement.
  ASSERT_EQ(lines.size(), 10u);
  for (std::size_t i : {1u, 3u}) EXPECT_EQ(lines[i], "定时任务closed异常: " + aborted_text);
  for (std::size_t i : {6u, 8u}) EXPECT_EQ(lines[i], "定时任务thrown异常: " + aborted_text);
}

TEST_F(DailyTask, ATaskWithAResultIsAwaitedAndItsResultDropped) {
  timing::set_now(local(2026, 5, 10, 10, 0, 0));
  int calls = 0;
  auto job = [&](int step) -> boost::asio::awaitable<int> {
    co_await timing::async_sleep(60);
    calls += step;
    co_return calls;
  };
  auto task = start(loop_, run_daily_at(11, 0, "valued", job, 1));
  settle(loop_);
  timing::advance(3600);
  settle(loop_);
  timing::advance(60);
  ASSERT_TRUE(run_until(loop_, [&] { return calls == 1; }));
  settle(loop_);
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));

  const auto lines = printed();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "距离下次执行valued还有1.00小时");
  // Announced after the task's end, a minute past the run.
  EXPECT_NEAR(announced_hours(lines[1], "valued"), 24.0 - 1.0 / 60, 0.015);
}

TEST_F(DailyTask, BadArgumentsEndTheTaskBeforeAnyWait) {
  auto noop = std::function<void()>([] {});
  auto expect_ends_with = [&](boost::asio::awaitable<void> t, auto error_kind) {
    auto task = start(loop_, std::move(t));
    ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
    ASSERT_TRUE(task->failure);
    EXPECT_THROW(std::rethrow_exception(task->failure), decltype(error_kind));
  };
  expect_ends_with(run_daily_at(24, 0, "job", noop), ValueError(""));
  expect_ends_with(run_daily_at(-1, 0, "job", noop), ValueError(""));
  expect_ends_with(run_daily_at(0, 60, "job", noop), ValueError(""));
  expect_ends_with(run_daily_at(0, 0, "", noop), ValueError(""));
  expect_ends_with(run_daily_at(0, 0, "job", std::function<void()>()), TypeError(""));
  expect_ends_with(run_daily_at(0, 0, "job", std::function<boost::asio::awaitable<void>()>()), TypeError(""));
  void (*null_function)(int) = nullptr;
  expect_ends_with(run_daily_at(0, 0, "job", null_function, 1), TypeError(""));
  EXPECT_EQ(printed(), std::vector<std::string>{});
}

// --- the periodic clean-up --------------------------------------------------

Json sent_row(const std::string& status) {
  return Json{{"group_name", "g"},
              {"type", "text"},
              {"content", "hi"},
              {"sender", "me"},
              {"timestamp", "2026-5-10-9:00:00"},
              {"msg_id", "wx0001000"},
              {"quote_id", ""},
              {"quote_content", ""},
              {"recall_id", ""},
              {"image_url", ""},
              {"have_checked", "true"},
              {"status", status},
              {"img_md5", ""}};
}

std::size_t stored_rows() {
  return config.db.get()->get_all_messages(AllQuery{}).size();
}

class PeriodicCleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    // An empty file is an empty database to SQLite.
    file_ = std::make_unique<testing::TempFile>("");
    config.db.set(sqlite::open_message_db(file_->path()));
    log_sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
    log_sink_->set_pattern("%l %v");
    logger()->sinks().push_back(log_sink_);
  }
  void TearDown() override {
    auto& sinks = logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), log_sink_), sinks.end());
    config.db.reset();
    for (const char* suffix : {"-wal", "-shm"}) std::remove((file_->path() + suffix).c_str());
  }

  std::unique_ptr<testing::TempFile> file_;
  std::ostringstream log_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> log_sink_;
  boost::asio::io_context loop_;
};

TEST_F(PeriodicCleanup, FirstCleansUpOneIntervalAfterTheStartNotAtTheStart) {
  config.db.get()->insert_messages(sent_row("发送成功"));
  config.db.get()->insert_messages(sent_row("200"));
  auto task = start(loop_, fetch_periodically3(86400));
  settle(loop_);
  EXPECT_EQ(stored_rows(), 2u);
  timing::advance(86400 - 600);
  settle(loop_);
  EXPECT_EQ(stored_rows(), 2u);
  timing::advance(600);
  ASSERT_TRUE(run_until(loop_, [] { return stored_rows() == 1; }));
  // Only the sent record went.
  EXPECT_EQ(config.db.get()->get_all_messages(AllQuery{})[0]["status"], "200");

  // The next run is one more interval later.
  config.db.get()->insert_messages(sent_row("发送成功"));
  timing::advance(86400 - 600);
  settle(loop_);
  EXPECT_EQ(stored_rows(), 2u);
  timing::advance(600);
  ASSERT_TRUE(run_until(loop_, [] { return stored_rows() == 1; }));

  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
  EXPECT_TRUE(ended_by_cancellation(task->failure));
  EXPECT_EQ(log_.str(), "");
}

TEST_F(PeriodicCleanup, AFailedCleanUpIsLoggedAndTheTaskGoesOn) {
  auto db = config.db.get();
  db->insert_messages(sent_row("发送成功"));
  config.db.reset();
  auto task = start(loop_, fetch_periodically3(60));
  settle(loop_);
  timing::advance(60);
  ASSERT_TRUE(run_until(loop_, [&] { return !log_.str().empty(); }));
  EXPECT_EQ(log_.str(), "error 数据库操作出错: 'config' has no attribute 'db'\n");
  EXPECT_FALSE(task->finished);

  config.db.set(db);
  timing::advance(60);
  ASSERT_TRUE(run_until(loop_, [] { return stored_rows() == 0; }));
  task->cancel.emit(boost::asio::cancellation_type::terminal);
  ASSERT_TRUE(run_until(loop_, [&] { return task->finished; }));
}

}  // namespace
}  // namespace orvanta::robot

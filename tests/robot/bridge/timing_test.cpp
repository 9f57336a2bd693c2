#include "orvanta/robot/timing.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "support/local_time.hpp"

namespace orvanta {
namespace {

using std::chrono::hours;
using std::chrono::seconds;

// A stand-in for the system clock that a test steps by hand.
std::atomic<timing::SystemTime::rep> stand_in_ticks{0};

timing::SystemTime stand_in_clock() {
  return timing::SystemTime(timing::SystemTime::duration(stand_in_ticks.load()));
}

void set_stand_in(timing::SystemTime t) {
  stand_in_ticks.store(t.time_since_epoch().count());
}

// Runs the production clock (system clock at real speed) over the stand-in,
// and puts the tests' fast clock back afterwards.
class ProductionClock : public ::testing::Test {
 protected:
  void SetUp() override {
    timing::set_wall_source(&stand_in_clock);
    timing::reset();
  }
  void TearDown() override {
    timing::set_wall_source(nullptr);
    timing::set_scale(previous_scale_);
  }

  double previous_scale_ = timing::scale();
};

TEST_F(ProductionClock, EveryReadSeesTheSystemClockAsItIsAtThatMoment) {
  const auto ten = testing::local_time(2026, 5, 10, 10, 0, 0);
  set_stand_in(ten);
  EXPECT_EQ(timing::now(), ten);
  EXPECT_EQ(robot::get_now(), "2026-5-10-10:0:0");

  // A time-sync step back by an hour, then a resume after a suspended night:
  // each is seen at the very next read.
  set_stand_in(ten - hours(1));
  EXPECT_EQ(timing::now(), ten - hours(1));
  EXPECT_EQ(robot::get_now(), "2026-5-10-9:0:0");
  set_stand_in(ten + hours(14) + seconds(5));
  EXPECT_DOUBLE_EQ(timing::time(),
                   std::chrono::duration<double>((ten + hours(14) + seconds(5)).time_since_epoch()).count());
  EXPECT_EQ(robot::get_now(), "2026-5-11-0:0:5");
}

// --- odd wait lengths ----------------------------------------------------------

enum class Outcome { kEndsAtOnce, kWaitsUntilCancelled, kRaisesValueError };

struct OddLength {
  double seconds;
  Outcome outcome;
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Serves the loop for about 20 ms of real time, 2 s of the tests' clock.
void settle(boost::asio::io_context& loop) {
  for (int i = 0; i < 20; ++i) {
    if (loop.stopped()) loop.restart();
    loop.run_one_for(std::chrono::milliseconds(1));
  }
}

template <class Pred>
bool run_until(boost::asio::io_context& loop, Pred done) {
  for (int i = 0; i < 20000 && !done(); ++i) {
    if (loop.stopped()) loop.restart();
    loop.run_one_for(std::chrono::milliseconds(1));
  }
  return done();
}

TEST(OddWaitLengths, AsyncSleepWaitsNotForeverOrNotAtAll) {
  const OddLength cases[] = {
      {-5, Outcome::kEndsAtOnce},
      {-kInf, Outcome::kEndsAtOnce},
      {0, Outcome::kEndsAtOnce},
      {kInf, Outcome::kWaitsUntilCancelled},
      // Beyond the clock's range: clamped to it, which is as good as for ever.
      {1e300, Outcome::kWaitsUntilCancelled},
      {kNaN, Outcome::kRaisesValueError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    boost::asio::io_context loop;
    boost::asio::cancellation_signal cancel;
    bool finished = false;
    std::exception_ptr failure;
    boost::asio::co_spawn(loop, timing::async_sleep(c.seconds),
                          boost::asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) {
                            finished = true;
                            failure = e;
                          }));
    settle(loop);
    switch (c.outcome) {
      case Outcome::kEndsAtOnce:
        EXPECT_TRUE(finished);
        EXPECT_FALSE(failure);
        break;
      case Outcome::kRaisesValueError:
        ASSERT_TRUE(finished);
        EXPECT_THROW(std::rethrow_exception(failure), ValueError);
        break;
      case Outcome::kWaitsUntilCancelled:
        timing::advance(1e9);  // some 31 years
        settle(loop);
        EXPECT_FALSE(finished);
        cancel.emit(boost::asio::cancellation_type::terminal);
        ASSERT_TRUE(run_until(loop, [&] { return finished; }));
        try {
          std::rethrow_exception(failure);
        } catch (const boost::system::system_error& e) {
          EXPECT_EQ(e.code(), boost::asio::error::operation_aborted);
        }
        break;
    }
  }
}

TEST(OddWaitLengths, BlockingSleepReturnsAtOnceForNegativeAndRaisesForNaN) {
  EXPECT_NO_THROW(timing::sleep(-5));
  EXPECT_NO_THROW(timing::sleep(-kInf));
  EXPECT_THROW(timing::sleep(kNaN), ValueError);
}

}  // namespace
}  // namespace orvanta

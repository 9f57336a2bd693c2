// Entry point of every test executable. Tests run under the timing
// facility's fast clock: the system's waits keep their specified lengths in
// clock time but pass a hundred times faster in real time. A test that needs
// a long stretch of clock time to pass (a day-long timer, the ageing of a
// message) moves the clock with timing::advance.

#include <gtest/gtest.h>

#include "orvanta/robot/timing.hpp"

namespace {

class FastClock : public ::testing::Environment {
 public:
  void SetUp() override { orvanta::timing::set_scale(kTestClockScale); }
  void TearDown() override { orvanta::timing::reset(); }

 private:
  static constexpr double kTestClockScale = 100.0;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new FastClock);
  return RUN_ALL_TESTS();
}

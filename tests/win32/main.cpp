// Entry point of the Windows tests. The same program also serves as the
// helper process some tests start (see child_process.hpp).

#include <gtest/gtest.h>

#include "child_process.hpp"

int main(int argc, char** argv) {
  const int child_status = orvanta::win32::testing::run_as_child();
  if (child_status >= 0) return child_status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

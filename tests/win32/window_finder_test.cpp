// Finding a top-level window by class on Windows, as the client's main
// window is found from another process.

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"

namespace orvanta::win32 {
namespace {

TEST(Win32WindowFinder, FindsTheWindowOfAClassAnotherProgramRegisteredAndNothingElse) {
  const std::string suffix = std::to_string(GetCurrentProcessId());
  const std::string name = "OrvantaTest窗口-" + suffix;
  EXPECT_EQ(find_window_by_class(name), 0u);
  {
    testing::NamedEvent ready, release;
    testing::ChildProcess owner({"window", name, ready.name(), release.name()});
    ASSERT_TRUE(owner.wait_until(ready)) << "helper ended with " << owner.wait();

    const std::uintptr_t window = find_window_by_class(name);
    ASSERT_NE(window, 0u);
    DWORD pid = 0;
    GetWindowThreadProcessId(reinterpret_cast<HWND>(window), &pid);
    EXPECT_EQ(pid, owner.pid());
    EXPECT_EQ(find_window_by_class("OrvantaNoSuchClass-" + suffix), 0u);

    release.set();
    EXPECT_EQ(owner.wait(), 0u);
  }
  EXPECT_EQ(find_window_by_class(name), 0u);
}

}  // namespace
}  // namespace orvanta::win32

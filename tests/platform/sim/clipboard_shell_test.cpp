// The clipboard's open/read/close discipline and the shell's record of
// elevation requests.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

TEST(SimClipboardTest, OpeningTwiceWithoutClosingFails) {
  auto clip = make_sim_clipboard();
  clip->OpenClipboard();
  EXPECT_THROW(clip->OpenClipboard(), OSError);
  clip->CloseClipboard();
  EXPECT_NO_THROW(clip->OpenClipboard());
  clip->CloseClipboard();
  EXPECT_EQ(clip->open_count(), 2);
  EXPECT_EQ(clip->close_count(), 2);
}

TEST(SimClipboardTest, ReadingOrClosingAClosedClipboardFails) {
  auto clip = make_sim_clipboard();
  clip->set_files({"/tmp/a"});
  EXPECT_THROW(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP), OSError);
  EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_HDROP), OSError);
  EXPECT_THROW(clip->CloseClipboard(), OSError);
}

TEST(SimClipboardTest, AnotherProgramHoldingItMakesOpenFail) {
  auto clip = make_sim_clipboard();
  clip->hold_by_other_program(true);
  EXPECT_THROW(clip->OpenClipboard(), OSError);
  clip->hold_by_other_program(false);
  clip->OpenClipboard();
  EXPECT_TRUE(clip->is_open());
}

TEST(SimClipboardTest, FormatsFollowWhatWasPutThere) {
  auto clip = make_sim_clipboard();
  clip->set_files({"/tmp/a.jpg", "/tmp/b.jpg"});
  clip->OpenClipboard();
  EXPECT_TRUE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP));
  EXPECT_FALSE(clip->IsClipboardFormatAvailable(Clipboard::CF_UNICODETEXT));
  EXPECT_EQ(std::get<std::vector<std::string>>(clip->GetClipboardData(Clipboard::CF_HDROP)),
            (std::vector<std::string>{"/tmp/a.jpg", "/tmp/b.jpg"}));
  EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_UNICODETEXT), OSError);
  clip->CloseClipboard();

  clip->set_text("hello");
  clip->OpenClipboard();
  EXPECT_FALSE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP));
  clip->CloseClipboard();
  EXPECT_EQ(clip->uses(),
            (std::vector<std::string>{"OpenClipboard", "IsClipboardFormatAvailable", "IsClipboardFormatAvailable",
                                      "GetClipboardData", "GetClipboardData", "CloseClipboard", "OpenClipboard",
                                      "IsClipboardFormatAvailable", "CloseClipboard"}));
}

TEST(SimClipboardTest, FaultSwitchesFailOpenAndRead) {
  auto clip = make_sim_clipboard();
  clip->set_files({"/tmp/a"});
  clip->fail_on_call("OpenClipboard", 1);
  EXPECT_THROW(clip->OpenClipboard(), OSError);
  EXPECT_FALSE(clip->is_open());
  clip->OpenClipboard();
  clip->fail_on_call("GetClipboardData", 1);
  EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_HDROP), OSError);
  EXPECT_NO_THROW(clip->GetClipboardData(Clipboard::CF_HDROP));
}

TEST(SimShellTest, RecordsElevationRequestsAndExits) {
  auto shell = make_sim_shell();
  shell->set_uid(std::nullopt);
  shell->set_admin(false);
  shell->set_command_line("C:/orvanta.exe", {"--demo", "x"});
  EXPECT_FALSE(shell->getuid());
  EXPECT_EQ(shell->IsUserAnAdmin(), 0);
  shell->set_execute_result(5);
  EXPECT_EQ(shell->ShellExecuteW(0, "runas", shell->executable(), "--demo x", std::nullopt, 1), 5);
  auto requests = shell->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].operation, "runas");
  EXPECT_EQ(requests[0].file, "C:/orvanta.exe");
  EXPECT_EQ(requests[0].parameters, "--demo x");
  EXPECT_EQ(requests[0].show, 1);
  try {
    shell->exit(0);
    FAIL() << "exit returned";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), 0);
  }
  EXPECT_EQ(shell->exits(), (std::vector<int>{0}));
}

TEST(SimClientPlatformTest, BindingInstallsTheClientsOwnPieces) {
  auto client = make_sim_client();
  client->bind_platform();
  EXPECT_EQ(platform.wxauto.get(), client->driver());
  EXPECT_EQ(platform.clip.get(), client->clipboard());
  EXPECT_EQ(platform.shell.get(), client->shell());
  platform.reset();
}

}  // namespace
}  // namespace orvanta::sim

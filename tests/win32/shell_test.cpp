// The shell and the running process on Windows.

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/command_line.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"

namespace orvanta::win32 {
namespace {

using testing::kChildFlag;

// Membership of the token in the Administrators group, which is what
// IsUserAnAdmin reports.
bool token_is_administrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  EXPECT_TRUE(AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                       0, 0, &administrators));
  BOOL member = FALSE;
  EXPECT_TRUE(CheckTokenMembership(nullptr, administrators, &member));
  FreeSid(administrators);
  return member != FALSE;
}

// What a helper started with print-args wrote: its program, then its
// arguments.
std::vector<std::string> printed(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> items;
  std::size_t start = 0;
  for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
    items.push_back(all.substr(start, end - start));
  return items;
}

const std::vector<std::string> kAwkward = {"", "two words", R"(say "hi")", R"(C:\my dir\)", "群 名", R"(a\\"b)"};

TEST(Win32Shell, AdministratorRightsAreTheTokensAndThereIsNoUserId) {
  const auto shell = make_shell();
  EXPECT_EQ(shell->getuid(), std::nullopt);
  EXPECT_EQ(shell->IsUserAnAdmin() != 0, token_is_administrator());
}

// The helper reads its program and arguments through the shell layer, so
// this also shows executable() and arguments() of a process.
TEST(Win32Shell, RunasStartsTheProgramWithTheGivenParameters) {
  testing::ScratchDir dir;
  testing::NamedEvent done;
  const std::string out =
      reinterpret_cast<const char*>((dir.path() / testing::utf8_path("参数.bin")).u8string().c_str());
  std::vector<std::string> args = {kChildFlag, "print-args", out, done.name()};
  args.insert(args.end(), kAwkward.begin(), kAwkward.end());
  const auto shell = make_shell();

  const auto result =
      shell->ShellExecuteW(0, "runas", shell->executable(), robot::windows_command_line(args), std::nullopt, 1);
  ASSERT_GT(result, 32);
  ASSERT_TRUE(done.wait());

  args.insert(args.begin(), shell->executable());
  EXPECT_EQ(printed(dir.path() / testing::utf8_path("参数.bin")), args);
}

TEST(Win32Shell, ShellExecuteRefusesTextThatIsNotUtf8) {
  const auto shell = make_shell();
  EXPECT_THROW(shell->ShellExecuteW(0, "runas", "bad \xff utf-8", "", std::nullopt, 1), ValueError);
}

TEST(Win32Shell, ExitEndsTheProcessWithTheStatus) {
  EXPECT_EQ(testing::run_child({"exit", "7"}), 7u);
}

}  // namespace
}  // namespace orvanta::win32

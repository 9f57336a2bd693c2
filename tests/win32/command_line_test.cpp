// The quoting of command lines checked against Windows' own splitting.

#include "orvanta/robot/command_line.hpp"

#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "orvanta/win32/windows.hpp"

namespace orvanta::win32 {
namespace {

std::string utf8(const wchar_t* text) {
  return reinterpret_cast<const char*>(std::filesystem::path(text).u8string().c_str());
}

// The arguments CommandLineToArgvW reads from `line` after a program name.
std::vector<std::string> split_by_windows(const std::string& line) {
  const std::wstring command = L"program.exe " + testing::utf8_path(line).wstring();
  int count = 0;
  std::unique_ptr<LPWSTR, decltype(&LocalFree)> argv(CommandLineToArgvW(command.c_str(), &count), &LocalFree);
  EXPECT_NE(argv, nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(utf8(argv.get()[i]));
  return args;
}

TEST(WindowsCommandLine, WindowsSplitsTheQuotedLineIntoTheOriginalArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {"", "", ""},
      {"plain", "two words", "tab\there", "new\nline", "vertical\vtab"},
      {R"(say "hi")", R"(")", R"("")", R"(""")", R"(a"b"c)"},
      {R"(C:\dir\)", R"(C:\my dir\)", R"(\)", R"(\\)", R"(\\\)", R"(" \)"},
      {R"(a\"b)", R"(a\\"b)", R"(a\\\"b)", R"(\"")", R"(\\server\share\)"},
      {"群 名", "引用  的消息 :", "emoji 😀 \"x\""},
      {"--flag=a b", "-x", "/c", "end with space ", " start with space"},
  };
  for (const auto& args : cases) {
    const std::string line = robot::windows_command_line(args);
    EXPECT_EQ(split_by_windows(line), args) << line;
  }
}

TEST(WindowsCommandLine, RandomArgumentsSurviveWindowsSplitting) {
  // Few letters, many characters that quoting must handle.
  const std::vector<std::string> pieces = {"a", "Z", " ", " ", "\t", "\"", "\"", "\\", "\\", "\\", "群", "😀", "'", "^"};
  std::mt19937 random(20240601);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> arity(1, 6);
  int checked = 0;
  for (int round = 0; round < 1000; ++round) {
    std::vector<std::string> args(static_cast<std::size_t>(arity(random)));
    for (auto& arg : args)
      for (int n = length(random); n > 0; --n) arg += pieces[piece(random)];
    const std::string line = robot::windows_command_line(args);
    ASSERT_EQ(split_by_windows(line), args) << line;
    checked += static_cast<int>(args.size());
  }
  EXPECT_GT(checked, 3000);
}

}  // namespace
}  // namespace orvanta::win32

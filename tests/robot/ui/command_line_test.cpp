#include "orvanta/robot/command_line.hpp"

#include <gtest/gtest.h>

namespace orvanta::robot {
namespace {

TEST(WindowsCommandLine, QuotesOnlyWhatTheRuntimeWouldSplitOrChange) {
  const struct {
    const char* arg;
    const char* quoted;
  } cases[] = {
      {"plain", "plain"},
      {"", R"("")"},
      {"two words", R"("two words")"},
      {"tab\there", "\"tab\there\""},
      {R"(say "hi")", R"("say \"hi\"")"},
      {R"(C:\dir\)", R"(C:\dir\)"},           // no blank: backslashes stay literal
      {R"(C:\my dir\)", R"("C:\my dir\\")"},  // before the closing quote: doubled
      {R"(a\"b)", R"("a\\\"b")"},             // backslash before a quote
      {R"(a\\b c)", R"("a\\b c")"},           // backslashes not before a quote: literal
      {"群 名", "\"群 名\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_windows_argument(c.arg), c.quoted) << c.arg;
}

TEST(WindowsCommandLine, JoinsQuotedArgumentsWithSingleSpaces) {
  EXPECT_EQ(windows_command_line({}), "");
  EXPECT_EQ(windows_command_line({"", "a b", "c"}), R"("" "a b" c)");
}

}  // namespace
}  // namespace orvanta::robot

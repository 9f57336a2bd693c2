// The system clipboard on Windows, filled by another process as the client
// fills it when it copies a picture.

#include <gtest/gtest.h>

#include "child_process.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"

namespace orvanta::win32 {
namespace {

using testing::clipboard_free;
using testing::run_child;

TEST(Win32Clipboard, FileListPutByAnotherProgramComesBackFirstFileFirst) {
  const std::vector<std::string> files = {R"(C:\Users\用户\图片 1.png)", R"(D:\b.txt)", R"(\\server\share\c d.jpg)"};
  std::vector<std::string> args = {"put-files"};
  args.insert(args.end(), files.begin(), files.end());
  ASSERT_EQ(run_child(args), 0u);

  const auto clip = make_clipboard();
  clip->OpenClipboard();
  EXPECT_FALSE(clipboard_free());
  EXPECT_TRUE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP));
  const ClipboardData data = clip->GetClipboardData(Clipboard::CF_HDROP);
  clip->CloseClipboard();

  ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(data));
  EXPECT_EQ(std::get<std::vector<std::string>>(data), files);
  EXPECT_TRUE(clipboard_free());
}

TEST(Win32Clipboard, MissingFileListIsAnOSErrorAndTheClipboardStillCloses) {
  const struct {
    std::vector<std::string> put;
    const char* text;  // what CF_UNICODETEXT then holds, if anything
  } cases[] = {
      {{"put-text", "只有文字 text"}, "只有文字 text"},
      {{"clear"}, nullptr},
  };
  const auto clip = make_clipboard();
  for (const auto& c : cases) {
    ASSERT_EQ(run_child(c.put), 0u) << c.put[0];
    clip->OpenClipboard();
    EXPECT_FALSE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP)) << c.put[0];
    EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_HDROP), OSError) << c.put[0];
    EXPECT_THROW(clip->GetClipboardData(CF_BITMAP), ValueError) << c.put[0];
    if (c.text != nullptr)
      EXPECT_EQ(std::get<std::string>(clip->GetClipboardData(Clipboard::CF_UNICODETEXT)), c.text);
    else
      EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_UNICODETEXT), OSError);
    clip->CloseClipboard();
    EXPECT_TRUE(clipboard_free()) << c.put[0];
  }
}

TEST(Win32Clipboard, OpeningFailsWhileAnotherProgramHoldsIt) {
  const auto clip = make_clipboard();
  {
    testing::NamedEvent ready, release;
    testing::ChildProcess holder({"hold", ready.name(), release.name()});
    ASSERT_TRUE(holder.wait_until(ready)) << "helper ended with " << holder.wait();
    EXPECT_THROW(clip->OpenClipboard(), OSError);
    // Not opened, so not to be read or closed by this program.
    EXPECT_THROW(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP), OSError);
    EXPECT_THROW(clip->CloseClipboard(), OSError);
    release.set();
    EXPECT_EQ(holder.wait(), 0u);
  }
  clip->OpenClipboard();
  clip->CloseClipboard();
  EXPECT_TRUE(clipboard_free());
}

TEST(Win32Clipboard, OpeningTwiceFailsAndAClosedClipboardCannotBeRead) {
  const auto clip = make_clipboard();
  clip->OpenClipboard();
  EXPECT_THROW(clip->OpenClipboard(), OSError);
  clip->CloseClipboard();
  EXPECT_TRUE(clipboard_free());
  EXPECT_THROW(clip->GetClipboardData(Clipboard::CF_HDROP), OSError);
  EXPECT_THROW(clip->CloseClipboard(), OSError);
}

}  // namespace
}  // namespace orvanta::win32

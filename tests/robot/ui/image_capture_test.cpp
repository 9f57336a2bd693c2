#include "orvanta/robot/image_capture.hpp"

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ImageCapture : public testing::GroupWorld {
 protected:
  void open() { config.wx.get()->ChatWith(kGroup); }

  std::string file(const std::string& name, const std::string& bytes) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::runtime_error runtime_failure(const std::string& content) {
    try {
      get_img_md5(content);
    } catch (const std::runtime_error& e) {
      return e;
    }
    return std::runtime_error("nothing raised");
  }
};

TEST_F(ImageCapture, TheKeyDigestsThePictureEncodedTwiceAndTheViewerIsClosed) {
  client->post_text(kGroup, "Alice", "看这张");
  client->post_image(kGroup, "Bob", "picture bytes", "p.jpg");
  open();
  const std::string key = get_img_md5("[图片]");
  EXPECT_EQ(key, img_key(base64_encode("picture bytes")));
  EXPECT_EQ(key, picture_key("picture bytes"));
  EXPECT_NE(key, img_key("picture bytes"));
  EXPECT_EQ(get_img_md5("[图片]"), key);  // the same picture gives the same key
  EXPECT_THAT(action_kinds("close"), ElementsAre("图片查看", "图片查看"));
  EXPECT_FALSE(client->image_viewer_open());
  EXPECT_EQ(client->clipboard()->open_count(), 2);
  EXPECT_EQ(client->clipboard()->close_count(), 2);
}

TEST_F(ImageCapture, AReplyLeadsToThePictureItQuotes) {
  const auto picture = client->post_image(kGroup, "Alice", "quoted bytes", "q.jpg");
  client->post_quote_of(kGroup, "Bob", "看看这张", picture);
  open();
  EXPECT_EQ(get_img_md5("看看这张"), picture_key("quoted bytes"));
  // The message's own button, not the sender's avatar beside it.
  for (const auto& target : action_kinds("Click"))
    EXPECT_THAT(target, ::testing::Not(::testing::StartsWith("avatar:")));
  EXPECT_THAT(action_kinds("copy"), ElementsAre(::testing::_));
}

TEST_F(ImageCapture, TheNewestEntryContainingTheTextIsUsed) {
  client->post_image(kGroup, "Alice", "first", "1.jpg");
  client->post_image(kGroup, "Bob", "second", "2.jpg");
  open();
  EXPECT_EQ(get_img_md5("图片"), picture_key("second"));
  // By whole shown text: an entry that merely contains the text is not it.
  EXPECT_EQ(get_img_md5_of_entry("[图片]"), picture_key("second"));
  EXPECT_THROW(get_img_md5_of_entry("图片"), std::runtime_error);
  EXPECT_THROW(get_img_md5_of_entry(""), ValueError);
}

TEST_F(ImageCapture, AMissingListOrEntryIsAnError) {
  client->post_image(kGroup, "Alice", "first", "1.jpg");
  open();
  EXPECT_STREQ(runtime_failure("不存在的话").what(), "消息列表中未出现该信息");
  config.wx.get()->SwitchToContact();
  EXPECT_STREQ(runtime_failure("[图片]").what(), "未找到消息列表");
  EXPECT_EQ(client->clipboard()->open_count(), 0);
}

TEST_F(ImageCapture, AnEntryWithoutAButtonGivesNothing) {
  client->post_system(kGroup, "系统提示[图片]");
  open();
  EXPECT_EQ(get_img_md5("系统提示"), "");
  EXPECT_EQ(stdout_text(), "按钮层级异常，请 inspect.exe 确认\n");
}

TEST_F(ImageCapture, ACopyEntryThatNeverAppearsGivesNothingWithoutTouchingTheClipboard) {
  client->post_image(kGroup, "Alice", "first", "1.jpg");
  open();
  client->suppress_menu(true);
  EXPECT_EQ(get_img_md5("[图片]"), "");
  // A menu slower than half a second counts as missing too.
  client->suppress_menu(false);
  client->set_menu_delay(0.8);
  EXPECT_EQ(get_img_md5("[图片]"), "");
  EXPECT_EQ(stdout_text(), "未找到复制菜单项\n未找到复制菜单项\n");
  EXPECT_THAT(client->clipboard()->uses(), IsEmpty());
}

TEST_F(ImageCapture, TheClipboardIsReadForItsFirstFileAndAlwaysClosed) {
  auto clip = client->clipboard();
  clip->set_files({file("a.png", "AAA"), file("b.png", "BBB")});
  EXPECT_EQ(clipboard_image_to_base64(), base64_encode("AAA"));

  struct Case {
    std::function<void()> arrange;
    std::function<void()> expect_failure;
  } cases[] = {
      {[&] { clip->set_text("只有文字"); },
       [] {
         try {
           clipboard_image_to_base64();
           ADD_FAILURE() << "no error";
         } catch (const ValueError& e) {
           EXPECT_STREQ(e.what(), "剪贴板无文件");
         }
       }},
      {[&] { clip->set_files({}); }, [] { EXPECT_THROW(clipboard_image_to_base64(), IndexError); }},
      {[&] { clip->set_files({dir.file("missing.png")}); }, [] { EXPECT_THROW(clipboard_image_to_base64(), OSError); }},
      {[&] {
         clip->set_files({file("c.png", "CCC")});
         clip->fail_on_call("GetClipboardData", 1);
       },
       [] { EXPECT_THROW(clipboard_image_to_base64(), OSError); }},
  };
  for (auto& c : cases) {
    c.arrange();
    c.expect_failure();
    EXPECT_FALSE(clip->is_open());
    EXPECT_EQ(clip->open_count(), clip->close_count());
  }
}

TEST_F(ImageCapture, AClipboardThatCannotBeOpenedIsNotClosed) {
  auto clip = client->clipboard();
  clip->hold_by_other_program(true);
  EXPECT_THROW(clipboard_image_to_base64(), OSError);
  EXPECT_EQ(clip->close_count(), 0);
  clip->hold_by_other_program(false);
}

}  // namespace
}  // namespace orvanta::robot

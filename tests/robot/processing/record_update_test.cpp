#include "orvanta/robot/record_update.hpp"

#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordUpdate : public testing::GroupWorld {
 protected:
  // The message the open window shows last.
  std::shared_ptr<wxauto::WindowMessage> newest() {
    auto wx = config.wx.get();
    wx->ChatWith(kGroup);
    return wx->GetAllMessage().back();
  }
  void store_newest() { testing::run_awaitable(db_update_msg(newest(), kGroup)); }
};

TEST_F(RecordUpdate, IsRecordKeepsMessagesAndNoticesAndDropsSeparatorsDividerAndPats) {
  client->post_text(kGroup, "Alice", "文字");
  // Read, left and come back to: the divider stands above what came since.
  client->add_group("别的群", {});
  config.wx.get()->ChatWith(kGroup);
  config.wx.get()->ChatWith("别的群");
  client->post_image(kGroup, "Bob", "bytes");
  client->post_quote(kGroup, "Carol", "回复", "文字");
  client->post_own(kGroup, "自己的");
  client->join(kGroup, "Dave");
  client->recall(client->post_text(kGroup, "Bob", "撤回的"));
  client->pat(kGroup, "Alice拍了拍Bob");
  client->post_system(kGroup, "群公告");
  config.wx.get()->ChatWith(kGroup);

  std::vector<std::string> records;
  for (const auto& m : config.wx.get()->GetAllMessage()) records.push_back((is_record(*m) ? "+" : "-") + *m->content());
  // The time separator first, then the divider above the unread lines.
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records[0][0], '-');
  EXPECT_THAT(std::vector<std::string>(records.begin() + 1, records.end()),
              ElementsAre("+文字", "-以下为新消息", "+[图片]", "+回复\n引用  的消息 : 文字", "+自己的",
                          "+\"Dave\"通过扫描二维码加入群聊", "+\"Bob\" 撤回了一条消息", "-Alice拍了拍Bob", "+群公告"));
}

TEST_F(RecordUpdate, IsRecordOnMalformedInfo) {
  struct Bare final : wxauto::WindowMessage {
    explicit Bare(std::optional<Json> i) : i_(std::move(i)) {}
    std::optional<std::string> sender() const override { return std::nullopt; }
    std::optional<std::string> sender_remark() const override { return std::nullopt; }
    std::optional<std::string> content() const override { return std::nullopt; }
    std::optional<Json> info() const override { return i_; }
    bool has_quote() const override { return false; }
    void quote(const std::string&, const std::optional<std::string>&) override {}
    wxauto::Download download() override { return {}; }
    std::optional<Json> i_;
  };
  EXPECT_FALSE(is_record(Bare(std::nullopt)));
  EXPECT_FALSE(is_record(Bare(Json::array({"text"}))));
  EXPECT_FALSE(is_record(Bare(Json{{"content", "x"}})));
  EXPECT_TRUE(is_record(Bare(Json{{"type", "base"}, {"content", "x"}})));
  EXPECT_THROW(is_record(Bare(Json{{"type", "other"}, {"attr", nullptr}})), TypeError);
}

TEST_F(RecordUpdate, AMembersTextIsStoredFieldByFieldAndReported) {
  client->post_text(kGroup, "Alice", "大家好");
  store_newest();
  const Rows rows = this->rows();
  ASSERT_EQ(rows.size(), 1u);
  const Row& row = rows[0];
  const std::string msg_id = row.at("msg_id");
  EXPECT_EQ(msg_id.size(), 9u);
  const Json fields = {{"group_name", kGroup},    {"type", "text"},      {"content", "大家好"}, {"sender", "Alice"},
                       {"quote_id", ""},          {"quote_content", ""}, {"recall_id", ""},     {"image_url", ""},
                       {"have_checked", "false"}, {"status", ""},        {"img_md5", ""}};
  Json expected = row;
  for (const auto& [key, value] : fields.items()) expected[key] = value;
  EXPECT_EQ(row, expected);
  ASSERT_EQ(group_msgs.size(), 1u);
  EXPECT_EQ(group_msgs[0],
            Message("A001", "A001", kAccount, kGroup, msg_id, kAccount, "text", "", "", "大家好", "", ""));

  client->post_text(kGroup, "Bob", "没有备注");
  store_newest();
  EXPECT_EQ(this->rows()[1].at("sender"), "Bob");
  EXPECT_EQ(group_msgs[1].sender, std::nullopt);
  EXPECT_EQ(group_msgs[1].sender_number, std::nullopt);
}

TEST_F(RecordUpdate, EachKindOfLineIsStoredAndRaisedByItsRule) {
  struct Case {
    std::function<void()> post;
    const char* type;  // stored type, nullptr: nothing stored
    const char* event;
  } cases[] = {
      {[&] { client->post_own(kGroup, "自己的"); }, "self", nullptr},
      {[&] { client->recall(client->post_text(kGroup, "Bob", "撤回的")); }, "base", nullptr},
      {[&] { client->join(kGroup, "Dave", std::string("Alice")); }, "base", "join:Dave@产品交流群"},
      {[&] { client->join(kGroup, "Erin"); }, "base", "join:Erin@产品交流群"},
      {[&] { client->post_system(kGroup, "群公告已更新"); }, nullptr, nullptr},
      {[&] { client->join_by_shared_qr(kGroup, "Gina", "Bob"); }, "base", "join:Gina@产品交流群"},
      {[&] {
         client->invite(kGroup, "Alice", {"Hank", "Ivy"});
       },
       "base", "join:Hank、Ivy@产品交流群"},
      // Own pictures and replies are own lines too: stored apart, never reported.
      {[&] { client->post_own_image(kGroup, "own picture", "own.jpg"); }, "self", nullptr},
      {[&] { client->post_image(kGroup, "Carol", "picture", "c.jpg"); }, "image", "msg:[图片]"},
  };
  for (const auto& c : cases) {
    const std::size_t rows_before = rows().size();
    events.clear();
    c.post();
    store_newest();
    const Rows now = rows();
    if (c.type == nullptr) {
      EXPECT_EQ(now.size(), rows_before);
    } else {
      ASSERT_EQ(now.size(), rows_before + 1);
      const Row& row = now.back();
      EXPECT_EQ(row.at("type"), c.type);
      const bool recall = row.at("content").get<std::string>().ends_with("撤回了一条消息");
      EXPECT_EQ(row.at("recall_id") != "", recall);
      const bool join = std::string(c.event ? c.event : "").starts_with("join:");
      EXPECT_EQ(row.at("have_checked"), join ? "true" : "false");
      if (std::string(c.type) == "self") {
        EXPECT_EQ(row.at("sender"), kAccount);
      }
    }
    if (c.event) {
      EXPECT_THAT(events, ElementsAre(c.event));
    } else {
      EXPECT_THAT(events, IsEmpty());
    }
  }
  // The picture: keyed from the downloaded file, which stays where the row
  // says.
  EXPECT_EQ(rows().back().at("img_md5"), picture_key("picture"));
  EXPECT_EQ(rows().back().at("image_url"), (client->files_dir() / "c.jpg").string());
  const Message& picture = group_msgs.back();
  EXPECT_EQ(picture.type, "image");
  EXPECT_EQ(picture.origin_pic_name, "c.jpg");
  EXPECT_EQ(picture.origin_pic_url, (client->files_dir() / "c.jpg").string());
  EXPECT_TRUE(std::filesystem::exists(picture.origin_pic_url));
}

TEST_F(RecordUpdate, ADownloadWithoutAPathIsAnErrorAndStoresNothing) {
  client->post_image(kGroup, "Carol", "picture", "c.jpg");
  client->fail_on_call("download", 1, sim::FaultEffect::EmptyResult);
  EXPECT_THROW(store_newest(), OSError);
  EXPECT_THAT(rows(), IsEmpty());
  EXPECT_THAT(events, IsEmpty());
}

TEST_F(RecordUpdate, AReplyToAPictureIsMatchedByThePicturesKey) {
  const auto picture = client->post_image(kGroup, "Alice", "the picture", "p.jpg");
  store_newest();
  client->post_text(kGroup, "Bob", "[图片]");  // same text, another message
  store_newest();
  client->post_quote_of(kGroup, "Carol", "这张图不错", picture);
  store_newest();
  const Rows stored = rows();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[2].at("quote_content"), "[图片]");
  EXPECT_EQ(stored[2].at("quote_id"), stored[0].at("msg_id"));
  EXPECT_EQ(group_msgs.back().reply, stored[0].at("msg_id").get<std::string>());
  EXPECT_EQ(stdout_text(), "img_md5: " + picture_key("the picture") + "\n");
}

TEST_F(RecordUpdate, AnOtherLineWithoutTheMarkerQuotesNothing) {
  // An empty text quotes nothing: a row with empty content is not what the
  // line refers to.
  client->post_raw(kGroup, testing::raw_line(Json{{"type", "text"}, {"content", ""}, {"attr", "friend"}}, "Alice"));
  store_newest();
  client->post_raw(kGroup, testing::raw_line(Json{{"type", "other"}, {"content", "收到"}, {"attr", "friend"}}, "Bob"));
  store_newest();
  const Rows stored = rows();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[1].at("quote_content"), "");
  EXPECT_EQ(stored[1].at("quote_id"), "");
}

TEST_F(RecordUpdate, AReplyToAPictureWhoseCaptureFailsIsStoredUnlinked) {
  const auto picture = client->post_image(kGroup, "Alice", "the picture", "p.jpg");
  store_newest();
  // An earlier entry shows the same text as the reply; the reply's own
  // entry is the newest and is the one captured.
  client->post_text(kGroup, "Bob", "这张图不错");
  store_newest();
  client->post_quote_of(kGroup, "Carol", "这张图不错", picture);
  client->hold_clipboard(true);
  EXPECT_NO_THROW(store_newest());
  const Rows stored = rows();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[2].at("quote_id"), "");
  EXPECT_EQ(events.size(), 3u);
  const auto lines = log_lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.starts_with("warning reply in 产品交流群 left unlinked (sender Carol, text \"这张图不错\")");
  })) << log.str();
  client->hold_clipboard(false);
}

TEST_F(RecordUpdate, AMembersTextHoldingTheQuoteMarkerIsStoredWhole) {
  client->post_text(kGroup, "Alice", "引用  的消息 : 你好");
  store_newest();
  EXPECT_EQ(rows().back().at("content"), "引用  的消息 : 你好");
  EXPECT_THAT(events, ElementsAre("msg:引用  的消息 : 你好"));
}

}  // namespace
}  // namespace orvanta::robot

// The store's operations: order, filters, updates, counts, member lists,
// table removal and the file it keeps.

#include "orvanta/sqlite/sqlite_message_db.hpp"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "platform/sqlite/store_fixture.hpp"

namespace orvanta::sqlite::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using MessageOrderTest = StoreTest;

TEST_F(MessageOrderTest, LatestIsNewestFirstAndAllIsOldestFirst) {
  for (const char* c : {"a", "b", "c", "d"}) add("g", c);
  add("other", "x");

  EXPECT_THAT(latest_contents("g", 10), ElementsAre("d", "c", "b", "a"));
  EXPECT_THAT(latest_contents("g", 2), ElementsAre("d", "c"));
  EXPECT_THAT(contents("g"), ElementsAre("a", "b", "c", "d"));
}

TEST_F(MessageOrderTest, InsertAfterRecordPlacesTheRowDirectlyAfterItsTarget) {
  const auto a = add("g", "a");
  const auto b = add("g", "b");
  add("other", "x");
  const auto c = add("g", "c");

  const auto after_a = db_->insert_after_record("g", a, Row{{"content", "a2"}});
  const auto after_c = db_->insert_after_record("g", c, Row{{"content", "c2"}});
  const auto after_a2 = db_->insert_after_record("g", after_a, Row{{"content", "a3"}});

  EXPECT_THAT(contents("g"), ElementsAre("a", "a2", "a3", "b", "c", "c2"));
  EXPECT_THAT(latest_contents("g", 10), ElementsAre("c2", "c", "b", "a3", "a2", "a"));
  // Ids are new and never reused or shifted: the earlier rows keep theirs.
  EXPECT_GT(after_a, c);
  EXPECT_GT(after_c, after_a);
  EXPECT_GT(after_a2, after_c);
  EXPECT_EQ(add("g", "d"), after_a2 + 1);
  const auto rows = db_->get_all_messages(AllQuery{.group_name = "g"});
  EXPECT_EQ(rows[0]["id"], a);
  EXPECT_EQ(rows[3]["id"], b);
  EXPECT_THAT(contents("other"), ElementsAre("x"));
}

TEST_F(MessageOrderTest, ManyInsertsAfterTheSameRowKeepOrderAndIds) {
  // Each insert halves the room before the next row, so this runs out of
  // room many times over and the group is renumbered along the way.
  const auto first = add("g", "first");
  const auto last = add("g", "last");
  std::vector<std::string> expected = {"first"};
  for (int i = 0; i < 300; ++i) {
    const auto id = db_->insert_after_record("g", first, Row{{"content", "n" + std::to_string(i)}});
    expected.insert(expected.begin() + 1, "n" + std::to_string(i));
    ASSERT_EQ(id, last + 1 + i);
  }
  expected.push_back("last");
  EXPECT_EQ(contents("g"), expected);
  const auto newest = db_->get_latest_messages(1, LatestQuery{.group_name = "g"});
  EXPECT_EQ(newest.at(0)["id"], last);
  // A normal insert still comes last after the renumbering.
  add("g", "after");
  EXPECT_THAT(latest_contents("g", 2), ElementsAre("after", "last"));
}

TEST_F(MessageOrderTest, InsertAfterRecordFillsDefaultsAndKeepsGivenFields) {
  const auto a = add("g", "a");
  const auto id = db_->insert_after_record(
      "g", a, Row{{"type", "image"}, {"content", "pic"}, {"sender", "s"}, {"msg_id", "m1"}, {"image_url", "u"}});
  const auto rows = db_->get_latest_messages(1, LatestQuery{.group_name = "g"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["id"], id);
  EXPECT_EQ(rows[0]["group_name"], "g");
  EXPECT_EQ(rows[0]["type"], "image");
  EXPECT_EQ(rows[0]["msg_id"], "m1");
  EXPECT_EQ(rows[0]["image_url"], "u");
  EXPECT_EQ(rows[0]["quote_id"], "");
  EXPECT_EQ(rows[0]["have_checked"], "false");
}

TEST_F(MessageOrderTest, InsertAfterAMissingRecordRaisesValueErrorAndStoresNothing) {
  const auto a = add("g", "a");
  add("other", "x");
  EXPECT_THROW(db_->insert_after_record("g", a + 100, Row{{"content", "n"}}), ValueError);
  try {
    db_->insert_after_record("other", a, Row{{"content", "n"}});
    FAIL() << "a record of another group is not a target";
  } catch (const ValueError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no record"));
  }
  EXPECT_EQ(db_->get_message_count_by_group("g"), 1);
  EXPECT_EQ(db_->get_message_count_by_group("other"), 1);
}

using RowShapeTest = StoreTest;

TEST_F(RowShapeTest, RowsHaveTheColumnsInOrderWithIntegerIdAndNullSender) {
  Row row = message_row("g", "hello");
  row["sender"] = nullptr;
  db_->insert_messages(row);
  const auto rows = db_->get_latest_messages(1, LatestQuery{.group_name = "g"});
  ASSERT_EQ(rows.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& item : rows[0].items()) keys.push_back(item.key());
  EXPECT_THAT(keys, ElementsAre("id", "group_name", "type", "content", "sender", "timestamp", "msg_id", "quote_id",
                                "quote_content", "recall_id", "image_url", "have_checked", "status", "img_md5"));
  EXPECT_TRUE(rows[0]["id"].is_number_integer());
  EXPECT_TRUE(rows[0]["sender"].is_null());
  EXPECT_EQ(rows[0]["content"], "hello");
  EXPECT_EQ(rows[0]["timestamp"], "2026-1-2-3:04:05");
}

TEST_F(RowShapeTest, ARowWithoutAKeyIsRefused) {
  Row row = message_row("g", "hello");
  row.erase("status");
  EXPECT_THROW(db_->insert_messages(row), KeyError);
  EXPECT_EQ(db_->get_message_count_by_group("g"), 0);
}

using LatestFilterTest = StoreTest;

TEST_F(LatestFilterTest, EachFilterFindsTheNewestMatchOfTheGroupOnly) {
  Row picture = message_row("g", "[图片]", "image", "m-pic");
  picture["img_md5"] = "0123456789abcdef0123456789abcdef";
  db_->insert_messages(picture);
  db_->insert_messages(message_row("g", "same", "text", "m-1"));
  db_->insert_messages(message_row("g", "same", "text", "m-2"));
  db_->insert_messages(message_row("other", "same", "text", "m-3"));

  auto first_msg_id = [](const Rows& rows) {
    return rows.empty() ? std::string() : rows[0]["msg_id"].get<std::string>();
  };
  EXPECT_EQ(first_msg_id(db_->get_latest_messages(1, {.group_name = "g", .msg_id = "m-1"})), "m-1");
  EXPECT_EQ(first_msg_id(db_->get_latest_messages(1, {.group_name = "g", .content = "same"})), "m-2");
  EXPECT_EQ(first_msg_id(db_->get_latest_messages(1, {.group_name = "g", .img_md5 = picture["img_md5"]})), "m-pic");
  EXPECT_THAT(db_->get_latest_messages(1, {.group_name = "g", .msg_id = "m-3"}), IsEmpty());
  EXPECT_THAT(db_->get_latest_messages(5, {.group_name = "g", .content = "same"}), ::testing::SizeIs(2));
  // Several filters must all hold.
  EXPECT_THAT(db_->get_latest_messages(5, {.group_name = "g", .msg_id = "m-1", .content = "other text"}), IsEmpty());
}

TEST_F(LatestFilterTest, TypeListMatchesAnyListedTypeNewestFirstAtMostN) {
  add("g", "t1", "text");
  add("g", "s1", "self");
  add("g", "i1", "image");
  add("g", "o1", "other");
  add("g", "t2", "text");
  add("g", "b1", "base");
  add("other", "t3", "text");

  auto of_types = [&](int n, std::vector<std::string> types) {
    std::vector<std::string> out;
    for (const auto& row : db_->get_latest_messages(n, {.group_name = "g", .type = std::move(types)})) {
      out.push_back(row["content"]);
    }
    return out;
  };
  EXPECT_THAT(of_types(3, {"other", "text", "image", "base"}), ElementsAre("b1", "t2", "o1"));
  EXPECT_THAT(of_types(10, {"other", "text", "image", "base"}), ElementsAre("b1", "t2", "o1", "i1", "t1"));
  EXPECT_THAT(of_types(10, {"text"}), ElementsAre("t2", "t1"));
  EXPECT_THAT(of_types(10, {"text", "text"}), ElementsAre("t2", "t1"));
  EXPECT_THAT(of_types(10, {"missing"}), IsEmpty());
  EXPECT_THAT(of_types(10, {}), IsEmpty());
}

TEST_F(LatestFilterTest, ACountOfZeroOrLessReturnsNothing) {
  add("g", "a");
  EXPECT_THAT(db_->get_latest_messages(0, {.group_name = "g"}), IsEmpty());
  EXPECT_THAT(db_->get_latest_messages(-1, {.group_name = "g", .type = std::vector<std::string>{"text"}}), IsEmpty());
}

using AllFilterTest = StoreTest;

TEST_F(AllFilterTest, UncheckedRowsOfTheListedTypesOldestFirst) {
  const auto a = add("g", "a", "text");
  add("g", "b", "self");
  add("g", "c", "image");
  add("g", "d", "other");
  add("other", "e", "text");
  db_->update_message_fields("id", a, Row{{"have_checked", "true"}});

  std::vector<std::string> found;
  for (const auto& row : db_->get_all_messages(
           {.group_name = "g", .have_checked = "false", .type = std::vector<std::string>{"other", "text", "image"}})) {
    found.push_back(row["content"]);
  }
  EXPECT_THAT(found, ElementsAre("c", "d"));
  EXPECT_THAT(db_->get_all_messages({.have_checked = "true"}), ::testing::SizeIs(1));
  // An empty group name or flag does not filter.
  EXPECT_THAT(db_->get_all_messages({.group_name = "", .have_checked = ""}), ::testing::SizeIs(5));
}

// A filter on no types admits no row, in both queries alike, whatever the
// other filters.
TEST_F(AllFilterTest, AnEmptyTypeListMatchesNothingInBothQueries) {
  add("g", "a", "text");
  add("g", "b", "image");
  const std::vector<std::string> none;
  EXPECT_THAT(db_->get_latest_messages(10, {.group_name = "g", .type = none}), IsEmpty());
  EXPECT_THAT(db_->get_latest_messages(10, {.group_name = "g", .content = "a", .type = none}), IsEmpty());
  EXPECT_THAT(db_->get_all_messages({.type = none}), IsEmpty());
  EXPECT_THAT(db_->get_all_messages({.group_name = "g", .have_checked = "false", .type = none}), IsEmpty());
  EXPECT_THAT(db_->get_all_messages({.group_name = "", .have_checked = "", .type = none}), IsEmpty());
}

using UpdateTest = StoreTest;

TEST_F(UpdateTest, UpdatesTheRowsWhoseKeyMatches) {
  const auto a = add("g", "a");
  add("g", "b");
  db_->update_message_fields("id", a, Row{{"recall_id", "r1"}, {"have_checked", "true"}});
  db_->update_message_fields("msg_id", "id-b", Row{{"status", "发送成功"}});

  const auto rows = db_->get_all_messages({.group_name = "g"});
  EXPECT_EQ(rows[0]["recall_id"], "r1");
  EXPECT_EQ(rows[0]["have_checked"], "true");
  EXPECT_EQ(rows[0]["status"], "");
  EXPECT_EQ(rows[1]["recall_id"], "");
  EXPECT_EQ(rows[1]["status"], "发送成功");
}

TEST_F(UpdateTest, UnknownColumnsAndTheIdAreRefusedAndNothingChanges) {
  const auto a = add("g", "a");
  EXPECT_THROW(db_->update_message_fields("nope", a, Row{{"status", "x"}}), ValueError);
  EXPECT_THROW(db_->update_message_fields("id", a, Row{{"status", "x"}, {"status\" = 'y', \"type", "z"}}), ValueError);
  EXPECT_THROW(db_->update_message_fields("seq", a, Row{{"status", "x"}}), ValueError);
  EXPECT_THROW(db_->update_message_fields("id", a, Row{{"id", 99}}), ValueError);
  EXPECT_EQ(db_->get_all_messages({.group_name = "g"}).at(0)["status"], "");
}

using CountAndMemberTest = StoreTest;

TEST_F(CountAndMemberTest, CountsRowsPerGroup) {
  EXPECT_EQ(db_->get_message_count_by_group("g"), 0);
  add("g", "a");
  add("g", "b");
  add("h", "c");
  EXPECT_EQ(db_->get_message_count_by_group("g"), 2);
  EXPECT_EQ(db_->get_message_count_by_group("h"), 1);
}

TEST_F(CountAndMemberTest, ALaterMemberListReplacesTheEarlierOne) {
  EXPECT_EQ(db_->get_group_member("g"), std::nullopt);
  db_->insert_group_member(Row{{"group_name", "g"}, {"member", R"(["a", "b"])"}});
  db_->insert_group_member(Row{{"group_name", "h"}, {"member", R"(["x"])"}});
  db_->insert_group_member(Row{{"group_name", "g"}, {"member", R"(["\u5f20\u4e09"])"}});
  EXPECT_EQ(db_->get_group_member("g"), R"(["\u5f20\u4e09"])");
  EXPECT_EQ(db_->get_group_member("h"), R"(["x"])");
}

using DropTableTest = StoreTest;

TEST_F(DropTableTest, OnlyPlainNamesOfExistingTables) {
  EXPECT_THROW(db_->drop_table("messages; DROP TABLE group_members"), ValueError);
  EXPECT_THROW(db_->drop_table("1abc"), ValueError);
  EXPECT_THROW(db_->drop_table(""), ValueError);
  EXPECT_THROW(db_->drop_table("\"messages\""), ValueError);
  EXPECT_THROW(db_->drop_table("no_such_table"), DatabaseError);

  db_->insert_group_member(Row{{"group_name", "g"}, {"member", "[]"}});
  db_->drop_table("group_members");
  EXPECT_THROW(db_->get_group_member("g"), DatabaseError);
  EXPECT_THROW(db_->drop_table("group_members"), DatabaseError);
  add("g", "messages still work");
}

using StoreFileTest = StoreTest;

TEST_F(StoreFileTest, AReopenedFileKeepsItsRowsAndOrder) {
  const auto a = add("g", "a");
  add("g", "b");
  db_->insert_after_record("g", a, Row{{"content", "a2"}});
  db_->insert_group_member(Row{{"group_name", "g"}, {"member", "[]"}});
  db_.reset();

  db_ = open_message_db(file());
  EXPECT_THAT(contents("g"), ElementsAre("a", "a2", "b"));
  EXPECT_EQ(db_->get_group_member("g"), "[]");
  add("g", "c");
  EXPECT_THAT(latest_contents("g", 1), ElementsAre("c"));
}

TEST_F(StoreFileTest, AFileInAMissingDirectoryCannotBeOpened) {
  const auto path = (dir_.path() / "missing" / "wxChat.db").string();
  try {
    open_message_db(path);
    FAIL() << "opened " << path;
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr(path));
    EXPECT_THAT(e.what(), HasSubstr("unable to open"));
  }
}

TEST_F(StoreFileTest, TheFileIsInWalMode) {
  add("g", "a");
  EXPECT_TRUE(std::filesystem::exists(file() + "-wal"));
}

}  // namespace
}  // namespace orvanta::sqlite::testing

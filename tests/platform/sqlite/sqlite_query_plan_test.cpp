// The store's queries search its indexes: none reads the whole table, and
// none sorts the rows of a whole group. The plans are those SQLite chooses
// for exactly the texts the store runs.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "message_queries.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "platform/sqlite/store_fixture.hpp"

namespace orvanta::sqlite::testing {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;

class QueryPlanTest : public StoreTest {
 protected:
  void SetUp() override {
    add("g", "a");
    ASSERT_EQ(sqlite3_open_v2(file().c_str(), &bare_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close_v2(bare_); }

  // The detail lines of the plan of `sql`.
  std::vector<std::string> plan(std::string_view sql) {
    const std::string explain = "EXPLAIN QUERY PLAN " + std::string(sql);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(bare_, explain.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(bare_);
    std::vector<std::string> lines;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      lines.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)));
    }
    sqlite3_finalize(statement);
    return lines;
  }

  sqlite3* bare_ = nullptr;
};

// No table is read through, and nothing is sorted. ("SCAN (subquery-1)" reads
// the one-row result of MAX(id), found by a search.)
const auto kNoScanNoSort =
    Each(AllOf(Not(HasSubstr("SCAN messages")), Not(HasSubstr("SCAN group_members")), Not(HasSubstr("TEMP B-TREE"))));

TEST_F(QueryPlanTest, LatestByOneColumnSearchesItsIndexInOrder) {
  std::string sql;
  build_latest_query(sql, {.group_name = "g", .msg_id = ""}, 0);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_msg_id (group_name=? AND msg_id=?)")));

  build_latest_query(sql, {.group_name = "g", .img_md5 = ""}, 0);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_img_md5 (group_name=? AND img_md5=?)")));

  build_latest_query(sql, {.group_name = "g", .content = ""}, 0);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_content (group_name=? AND content=?)")));

  build_latest_query(sql, {.group_name = "g"}, 0);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_group (group_name=?)")));

  build_latest_query(sql, {.group_name = "g"}, 1);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_type (group_name=? AND type=?)")));
}

TEST_F(QueryPlanTest, LatestOfSeveralTypesOrdersOnlyTheCutRowsOfEachType) {
  std::string sql;
  build_latest_query(sql, {.group_name = "g"}, 4);
  const auto lines = plan(sql);
  EXPECT_THAT(lines, Each(Not(HasSubstr("SCAN messages"))));
  int searches = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("SEARCH messages USING INDEX messages_by_type (group_name=? AND type=?)") != std::string::npos) {
      ++searches;
      // Read in index order: no sort inside the search of a type.
      ASSERT_LT(i + 1, lines.size());
      EXPECT_THAT(lines[i + 1], HasSubstr("SCAN (subquery-")) << "the search of a type is cut before it is merged";
    }
    // The only sorts are of the cut results of one type, never of a group.
    if (lines[i].find("TEMP B-TREE") != std::string::npos) {
      ASSERT_GT(i, 0u);
      EXPECT_THAT(lines[i - 1], HasSubstr("SCAN (subquery-"));
    }
  }
  EXPECT_EQ(searches, 4);
}

TEST_F(QueryPlanTest, AllUncheckedOfAGroupWalksTheCheckedIndexInOrder) {
  std::string sql;
  build_all_query(sql, true, true, 3);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
  EXPECT_THAT(plan(sql), Contains(HasSubstr("messages_by_checked (group_name=? AND have_checked=?)")));
  build_all_query(sql, true, false, 0);
  EXPECT_THAT(plan(sql), kNoScanNoSort);
}

// The daily clean-up, exactly as the robot runs it, visits only the sent rows
// through their partial index.
TEST_F(QueryPlanTest, TheCleanUpOfSentRowsSearchesTheirIndex) {
  EXPECT_THAT(plan(robot::kDeleteSentMessages),
              ::testing::ElementsAre("SEARCH messages USING INDEX messages_sent (status=?)"));
}

TEST_F(QueryPlanTest, FixedStatementsSearch) {
  for (std::string_view sql :
       {kInsertMessage, kNextId, kSeqOfRecord, kNextSeq, kIdsInOrder, kSetSeq, kCountGroup, kGetMember}) {
    EXPECT_THAT(plan(sql), kNoScanNoSort) << sql;
  }
}

}  // namespace
}  // namespace orvanta::sqlite::testing

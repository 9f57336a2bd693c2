// The raw path: statements run on the store's connection under its lock,
// with transactions that last until commit.

#include <future>
#include <mutex>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "platform/sqlite/store_fixture.hpp"

namespace orvanta::sqlite::testing {
namespace {

using ::testing::HasSubstr;

// Whether another thread can take the store's lock right now.
bool free_for_another_thread(StoreLock& lock) {
  return std::async(std::launch::async,
                    [&lock] {
                      if (!lock.try_lock()) return false;
                      lock.unlock();
                      return true;
                    })
      .get();
}

class RawConnectionTest : public StoreTest {
 protected:
  void SetUp() override {
    for (const char* c : {"a", "b", "c"}) add("g", c);
    db_->update_message_fields("msg_id", "id-b", Row{{"status", "发送成功"}});
  }

  // The count as another thread sees it once the lock is free.
  std::int64_t count_from_another_thread() {
    return std::async(std::launch::async, [this] { return db_->get_message_count_by_group("g"); }).get();
  }
};

TEST_F(RawConnectionTest, CommittedDeleteIsVisibleAndCountsItsRows) {
  {
    std::lock_guard guard(db_->lock());
    auto cursor = db_->conn().cursor();
    EXPECT_EQ(cursor->rowcount(), -1);
    cursor->execute("DELETE FROM messages WHERE status = '发送成功'");
    EXPECT_EQ(cursor->rowcount(), 1);
    cursor->execute("SELECT COUNT(*) FROM messages");
    EXPECT_EQ(cursor->rowcount(), 1) << "a statement that changes nothing keeps the last count";
    db_->conn().commit();
  }
  EXPECT_EQ(count_from_another_thread(), 2);
  EXPECT_EQ(db_->get_all_messages({.group_name = "g"}).size(), 2u);
}

TEST_F(RawConnectionTest, AFailedStatementChangesNothingAndLeavesTheLockFree) {
  try {
    std::lock_guard guard(db_->lock());
    auto cursor = db_->conn().cursor();
    cursor->execute("DELETE FROM no_such_table");
    db_->conn().commit();
    FAIL() << "the statement ran";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no such table: no_such_table"));
  }
  EXPECT_TRUE(free_for_another_thread(db_->lock()));

  // A statement that fails part-way (here on a constraint after the first
  // row) leaves none of its rows deleted and no transaction open.
  db_->lock().lock();
  auto cursor = db_->conn().cursor();
  cursor->execute(
      "CREATE TRIGGER refuse AFTER DELETE ON messages WHEN OLD.content = 'b' BEGIN SELECT RAISE(ABORT, 'kept'); END");
  db_->conn().commit();
  EXPECT_THROW(cursor->execute("DELETE FROM messages"), DatabaseError);
  db_->conn().commit();
  db_->lock().unlock();
  EXPECT_EQ(count_from_another_thread(), 3);
}

TEST_F(RawConnectionTest, AFailureInsideAnOpenTransactionKeepsTheEarlierWorkUntilCommit) {
  {
    std::lock_guard guard(db_->lock());
    auto cursor = db_->conn().cursor();
    cursor->execute("DELETE FROM messages WHERE content = 'a'");
    EXPECT_THROW(cursor->execute("DELETE FROM no_such_table"), DatabaseError);
    db_->conn().commit();
  }
  EXPECT_EQ(count_from_another_thread(), 2);
}

TEST_F(RawConnectionTest, UncommittedWorkIsRolledBackWhenTheLockIsFinallyReleased) {
  db_->lock().lock();
  db_->lock().lock();
  db_->conn().cursor()->execute("DELETE FROM messages");
  db_->lock().unlock();
  // Still held once: the transaction is still open and this thread sees it.
  EXPECT_EQ(db_->get_message_count_by_group("g"), 0);
  db_->lock().unlock();

  EXPECT_EQ(count_from_another_thread(), 3);
  // The store's own operations start clean afterwards and stay stored.
  add("g", "d");
  db_.reset();
  db_ = open_message_db(file());
  EXPECT_EQ(db_->get_message_count_by_group("g"), 4);
}

TEST_F(RawConnectionTest, RollbackDiscardsTheOpenTransaction) {
  std::lock_guard guard(db_->lock());
  auto cursor = db_->conn().cursor();
  cursor->execute("UPDATE messages SET status = 'x'");
  EXPECT_EQ(cursor->rowcount(), 3);
  db_->conn().rollback();
  db_->conn().commit();
  EXPECT_THAT(db_->get_all_messages({.group_name = "g", .have_checked = "false"}).at(0)["status"], "");
}

TEST_F(RawConnectionTest, TheStoresOwnOperationsJoinTheCallersOpenTransaction) {
  {
    std::lock_guard guard(db_->lock());
    db_->conn().cursor()->execute("DELETE FROM messages WHERE content = 'a'");
    db_->insert_messages(message_row("g", "d"));
    db_->conn().rollback();
  }
  EXPECT_EQ(count_from_another_thread(), 3);
  EXPECT_THAT(db_->get_latest_messages(1, {.group_name = "g", .msg_id = "id-d"}), ::testing::IsEmpty());
}

TEST_F(RawConnectionTest, TheRawPathWithoutTheLockIsRefused) {
  EXPECT_THROW(db_->conn().cursor(), DatabaseError);
  EXPECT_THROW(db_->conn().commit(), DatabaseError);
  EXPECT_THROW(db_->conn().rollback(), DatabaseError);

  std::unique_ptr<Cursor> cursor;
  {
    std::lock_guard guard(db_->lock());
    cursor = db_->conn().cursor();
  }
  try {
    cursor->execute("DELETE FROM messages");
    FAIL() << "ran without the lock";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("lock"));
  }
  // Held by another thread is not held by this one.
  std::lock_guard guard(db_->lock());
  auto elsewhere = std::async(std::launch::async, [this, &cursor] {
    EXPECT_FALSE(db_->lock().held_by_this_thread());
    EXPECT_THROW(cursor->execute("DELETE FROM messages"), DatabaseError);
  });
  elsewhere.get();
  EXPECT_TRUE(db_->lock().held_by_this_thread());
  EXPECT_EQ(db_->get_message_count_by_group("g"), 3);
}

TEST_F(RawConnectionTest, OneStatementAtATime) {
  std::lock_guard guard(db_->lock());
  auto cursor = db_->conn().cursor();
  EXPECT_THROW(cursor->execute("DELETE FROM messages; DELETE FROM group_members"), DatabaseError);
  EXPECT_THROW(cursor->execute("DELETE FROM"), DatabaseError);
  cursor->execute("DELETE FROM messages WHERE content = 'a';  ");
  EXPECT_EQ(cursor->rowcount(), 1);
  db_->conn().commit();
}

TEST_F(RawConnectionTest, ARowInsertedRawComesLastInItsGroup) {
  {
    std::lock_guard guard(db_->lock());
    db_->conn().cursor()->execute("INSERT INTO messages (group_name, content) VALUES ('g', 'raw')");
    db_->conn().commit();
  }
  add("g", "d");
  EXPECT_THAT(latest_contents("g", 3), ::testing::ElementsAre("d", "raw", "c"));
}

TEST_F(RawConnectionTest, IdsOfDeletedRowsAreNeverGivenAgain) {
  const auto newest = db_->get_latest_messages(1, {.group_name = "g"}).at(0)["id"].get<std::int64_t>();
  {
    std::lock_guard guard(db_->lock());
    db_->conn().cursor()->execute("DELETE FROM messages");
    db_->conn().commit();
  }
  EXPECT_EQ(add("g", "d"), newest + 1);
  const auto d = newest + 1;
  {
    std::lock_guard guard(db_->lock());
    db_->conn().cursor()->execute("DELETE FROM messages WHERE content = 'd'");
    db_->conn().commit();
  }
  add("g", "e");
  EXPECT_EQ(db_->insert_after_record("g", d + 1, Row{{"content", "f"}}), d + 2);
  // An update by the deleted row's id finds nothing.
  db_->update_message_fields("id", d, Row{{"recall_id", "late"}});
  EXPECT_EQ(db_->get_all_messages({.group_name = "g"}).at(0)["recall_id"], "");
}

TEST(StoreLockTest, OnlyTheOwnerMayReleaseTheLock) {
  TempDir dir;
  auto db = open_message_db((dir.path() / "wxChat.db").string());
  EXPECT_THROW(db->lock().unlock(), std::runtime_error);
  std::lock_guard guard(db->lock());
  EXPECT_FALSE(free_for_another_thread(db->lock()));
  EXPECT_TRUE(db->lock().try_lock());
  db->lock().unlock();
  EXPECT_TRUE(db->lock().held_by_this_thread());
}

}  // namespace
}  // namespace orvanta::sqlite::testing

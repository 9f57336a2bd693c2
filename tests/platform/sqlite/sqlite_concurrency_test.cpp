// Two threads using one store at once, as the listening thread and the
// host's thread do.

#include <mutex>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "platform/sqlite/store_fixture.hpp"

namespace orvanta::sqlite::testing {
namespace {

using ConcurrencyTest = StoreTest;

constexpr int kRowsPerThread = 300;

TEST_F(ConcurrencyTest, TwoThreadsInsertAndReadWithoutLosingOrMixingRows) {
  // The reader checks, after each of its own inserts, that the other
  // thread's group is always seen newest first with no gaps.
  std::thread writer([this] {
    for (int i = 0; i < kRowsPerThread; ++i) {
      db_->insert_messages(message_row("w", std::to_string(i)));
      if (i % 50 == 0) db_->update_message_fields("msg_id", "id-" + std::to_string(i), Row{{"have_checked", "true"}});
    }
  });
  int checks_failed = 0;
  for (int i = 0; i < kRowsPerThread; ++i) {
    db_->insert_messages(message_row("r", std::to_string(i)));
    const auto latest = db_->get_latest_messages(3, {.group_name = "w", .type = std::vector<std::string>{"text"}});
    for (std::size_t k = 1; k < latest.size(); ++k) {
      if (std::stoi(latest[k - 1]["content"].get<std::string>()) !=
          std::stoi(latest[k]["content"].get<std::string>()) + 1) {
        ++checks_failed;
      }
    }
    const auto mine = db_->get_latest_messages(1, {.group_name = "r"});
    if (mine.size() != 1 || mine[0]["content"] != std::to_string(i)) ++checks_failed;
  }
  writer.join();

  EXPECT_EQ(checks_failed, 0);
  EXPECT_EQ(db_->get_message_count_by_group("w"), kRowsPerThread);
  EXPECT_EQ(db_->get_message_count_by_group("r"), kRowsPerThread);
  EXPECT_EQ(db_->get_all_messages({.group_name = "w", .have_checked = "true"}).size(), kRowsPerThread / 50u);
}

TEST_F(ConcurrencyTest, RawCleanupUnderTheLockInterleavesWithInserts) {
  // One thread stores rows, every tenth already sent; the other deletes the
  // sent ones through the raw path, as the periodic clean-up does.
  std::thread writer([this] {
    for (int i = 0; i < kRowsPerThread; ++i) {
      Row row = message_row("g", std::to_string(i));
      if (i % 10 == 0) row["status"] = "发送成功";
      // Holding the lock makes the insert, the lookup of the new row and the
      // insert after it one step; the clean-up could otherwise delete the
      // new row in between.
      std::lock_guard guard(db_->lock());
      db_->insert_messages(row);
      if (i % 7 == 0) {
        const auto newest = db_->get_latest_messages(1, {.group_name = "g"}).at(0)["id"].get<std::int64_t>();
        db_->insert_after_record("g", newest, Row{{"content", "after " + std::to_string(i)}});
      }
    }
  });
  for (int round = 0; round < 50; ++round) {
    std::lock_guard guard(db_->lock());
    auto cursor = db_->conn().cursor();
    cursor->execute("DELETE FROM messages WHERE status = '发送成功'");
    db_->conn().commit();
  }
  writer.join();
  {
    std::lock_guard guard(db_->lock());
    db_->conn().cursor()->execute("DELETE FROM messages WHERE status = '发送成功'");
    db_->conn().commit();
  }
  const int inserted_after = (kRowsPerThread + 6) / 7;
  EXPECT_EQ(db_->get_message_count_by_group("g"), kRowsPerThread - kRowsPerThread / 10 + inserted_after);
}

}  // namespace
}  // namespace orvanta::sqlite::testing

#include "orvanta/robot/store_operations.hpp"

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/local_time.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// A recursive lock that knows its owner, as the store's contract asks.
class FakeLock final : public StoreLock {
 public:
  void lock() override {
    mu_.lock();
    owner_ = std::this_thread::get_id();
    ++depth_;
  }
  void unlock() override {
    if (--depth_ == 0) owner_ = std::thread::id();
    mu_.unlock();
  }
  bool try_lock() override {
    if (!mu_.try_lock()) return false;
    owner_ = std::this_thread::get_id();
    ++depth_;
    return true;
  }
  bool held_by_this_thread() const override { return owner_ == std::this_thread::get_id(); }

 private:
  std::recursive_mutex mu_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
};

// A store double that records what it is handed and checks, on the raw path,
// that the caller holds the lock.
class FakeStore final : public MessageDB {
 public:
  class FakeCursor final : public Cursor {
   public:
    explicit FakeCursor(FakeStore& store) : store_(store) {}
    void execute(const std::string& statement) override {
      store_.executed.push_back(statement);
      store_.locked_at_execute = store_.lock_.held_by_this_thread();
      if (store_.fail_execute) throw DatabaseError("no such table: nothing");
    }
    std::int64_t rowcount() const override { return 0; }

   private:
    FakeStore& store_;
  };

  class FakeConnection final : public Connection {
   public:
    explicit FakeConnection(FakeStore& store) : store_(store) {}
    std::unique_ptr<Cursor> cursor() override { return std::make_unique<FakeCursor>(store_); }
    void commit() override {
      store_.locked_at_commit = store_.lock_.held_by_this_thread();
      ++store_.commits;
    }
    void rollback() override { ++store_.rollbacks; }

   private:
    FakeStore& store_;
  };

  void insert_messages(const Row& row) override { inserted.push_back(row); }
  std::int64_t insert_after_record(const std::string& group_name, std::int64_t target_id, const Row& row) override {
    after_calls.push_back({group_name, target_id, row});
    if (after_error) after_error();
    return next_id;
  }
  Rows get_latest_messages(int, const LatestQuery&) override { return {}; }
  Rows get_all_messages(const AllQuery&) override { return {}; }
  void update_message_fields(const std::string&, const Json&, const Row&) override {}
  std::int64_t get_message_count_by_group(const std::string& group_name) override {
    counted.push_back(group_name);
    return 41;
  }
  void insert_group_member(const Row& record) override { members.push_back(record); }
  std::optional<std::string> get_group_member(const std::string&) override { return std::nullopt; }
  void drop_table(const std::string& table_name) override {
    if (fail_drop) throw DatabaseError("no such table: " + table_name);
    dropped.push_back(table_name);
  }
  StoreLock& lock() override { return lock_; }
  Connection& conn() override { return conn_; }

  struct AfterCall {
    std::string group_name;
    std::int64_t target_id;
    Row row;
  };

  std::vector<Row> inserted;
  std::vector<AfterCall> after_calls;
  std::function<void()> after_error;
  std::int64_t next_id = 7;
  std::vector<std::string> counted;
  std::vector<Row> members;
  std::vector<std::string> dropped;
  bool fail_drop = false;
  std::vector<std::string> executed;
  bool fail_execute = false;
  bool locked_at_execute = false;
  bool locked_at_commit = false;
  int commits = 0;
  int rollbacks = 0;

 private:
  FakeLock lock_;
  FakeConnection conn_{*this};
};

// Runs `fn` and gives what it wrote to standard output.
template <class F>
std::string stdout_of(F&& fn) {
  ::testing::internal::CaptureStdout();
  fn();
  return ::testing::internal::GetCapturedStdout();
}

// Pins the clock (at real speed) to a local calendar time so that time
// stamps are known in advance.
class PinnedClock {
 public:
  PinnedClock() : saved_scale_(timing::scale()) { timing::set_scale(1.0); }
  ~PinnedClock() {
    timing::reset();
    timing::set_scale(saved_scale_);
  }
  void pin_local(int year, int month, int day, int hour, int minute, int second) {
    timing::set_now(testing::local_time(year, month, day, hour, minute, second, 200000));
  }

 private:
  double saved_scale_;
};

MessageData sample_message(const std::string& group, const std::string& content, const std::string& status = "") {
  return MessageData{.group_name = group,
                     .type = "text",
                     .content = content,
                     .sender = "Alice",
                     .msg_id = get_msg_id(),
                     .quote_id = "",
                     .quote_content = "",
                     .recall_id = "",
                     .image_url = "",
                     .have_checked = "false",
                     .status = status,
                     .img_md5 = "",
                     .timestamp = "2000-1-1-0:0:0"};
}

std::vector<std::string> keys_of(const Json& record) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : record.items()) keys.push_back(k);
  return keys;
}

class StoreRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    config.reset();
    config.db.set(store_);
  }
  void TearDown() override { config.reset(); }

  std::shared_ptr<FakeStore> store_ = std::make_shared<FakeStore>();
};

TEST_F(StoreRecords, MessageRecordHasThirteenKeysInOrderAndTheTimeOfStoring) {
  PinnedClock clock;
  clock.pin_local(2024, 2, 1, 9, 5, 3);
  MessageData params{.group_name = "群A",
                     .type = "image",
                     .content = "[图片]",
                     .sender = "Bob",
                     .msg_id = "wx1234000",
                     .quote_id = "q1",
                     .quote_content = "qc",
                     .recall_id = "r1",
                     .image_url = "C:/pic.jpg",
                     .have_checked = "false",
                     .status = "200",
                     .img_md5 = "abc",
                     .timestamp = "1999-9-9-9:9:9"};
  update_db_messages(params);
  ASSERT_EQ(store_->inserted.size(), 1u);
  const Json& row = store_->inserted[0];
  EXPECT_THAT(keys_of(row),
              ElementsAre("group_name", "type", "content", "sender", "timestamp", "msg_id", "quote_id", "quote_content",
                          "recall_id", "image_url", "have_checked", "status", "img_md5"));
  EXPECT_EQ(row["timestamp"], "2024-2-1-9:5:3");
  EXPECT_EQ(row["group_name"], "群A");
  EXPECT_EQ(row["type"], "image");
  EXPECT_EQ(row["content"], "[图片]");
  EXPECT_EQ(row["sender"], "Bob");
  EXPECT_EQ(row["msg_id"], "wx1234000");
  EXPECT_EQ(row["quote_id"], "q1");
  EXPECT_EQ(row["quote_content"], "qc");
  EXPECT_EQ(row["recall_id"], "r1");
  EXPECT_EQ(row["image_url"], "C:/pic.jpg");
  EXPECT_EQ(row["have_checked"], "false");
  EXPECT_EQ(row["status"], "200");
  EXPECT_EQ(row["img_md5"], "abc");
}

TEST_F(StoreRecords, AbsentSenderIsStoredAsNull) {
  MessageData params = sample_message("g", "hi");
  params.sender.reset();
  update_db_messages(params);
  ASSERT_EQ(store_->inserted.size(), 1u);
  EXPECT_TRUE(store_->inserted[0]["sender"].is_null());
}

TEST_F(StoreRecords, MissingStoreReachesTheCaller) {
  config.db.reset();
  EXPECT_THROW(update_db_messages(sample_message("g", "x")), AttributeError);
  EXPECT_THROW(update_db_group_member("g", {"a"}), AttributeError);
  EXPECT_THROW(get_group_message_count("g"), AttributeError);
  EXPECT_THROW(clear_table("messages"), AttributeError);
  EXPECT_THROW(delte_table("messages"), AttributeError);
  EXPECT_THROW(cleanup_sent_messages_hard(), AttributeError);
}

TEST_F(StoreRecords, StoreIsReadAtEveryCall) {
  auto second = std::make_shared<FakeStore>();
  update_db_messages(sample_message("g", "one"));
  config.db.set(second);
  update_db_messages(sample_message("g", "two"));
  EXPECT_EQ(store_->inserted.size(), 1u);
  ASSERT_EQ(second->inserted.size(), 1u);
  EXPECT_EQ(second->inserted[0]["content"], "two");
}

TEST_F(StoreRecords, MemberListIsJsonTextWithEscapedNames) {
  update_db_group_member("测试群", {"张三", "Bob", "李四😀"});
  ASSERT_EQ(store_->members.size(), 1u);
  EXPECT_THAT(keys_of(store_->members[0]), ElementsAre("group_name", "member"));
  EXPECT_EQ(store_->members[0]["group_name"], "测试群");
  EXPECT_EQ(store_->members[0]["member"], R"(["\u5f20\u4e09", "Bob", "\u674e\u56db\ud83d\ude00"])");
}

TEST_F(StoreRecords, MessageCountComesFromTheStoreUnchanged) {
  EXPECT_EQ(get_group_message_count("群"), 41);
  EXPECT_THAT(store_->counted, ElementsAre("群"));
}

TEST_F(StoreRecords, GroupMembersBecomeEntries) {
  const Json entries = format_group_member({"张三", "Bob"}, "群1");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_THAT(keys_of(entries[0]), ElementsAre("number", "name", "group_id"));
  EXPECT_EQ(entries[0], (Json{{"number", "张三"}, {"name", "张三"}, {"group_id", "群1"}}));
  EXPECT_EQ(entries[1], (Json{{"number", "Bob"}, {"name", "Bob"}, {"group_id", "群1"}}));
  EXPECT_EQ(format_group_member({}, "群1"), Json::array());
}

TEST_F(StoreRecords, DroppedTableIsAnnouncedOnlyAfterTheDrop) {
  EXPECT_EQ(stdout_of([] { delte_table("old_messages"); }), "表 'old_messages' 已删除\n");
  EXPECT_THAT(store_->dropped, ElementsAre("old_messages"));
  store_->fail_drop = true;
  std::string out = stdout_of([] { EXPECT_THROW(delte_table("nothing"), DatabaseError); });
  EXPECT_EQ(out, "");
}

using InsertAfterRecord = StoreRecords;

TEST_F(InsertAfterRecord, EmptyDataTakesDefaultsAndFreshIdentifierAndTime) {
  PinnedClock clock;
  clock.pin_local(2024, 5, 6, 7, 8, 9);
  config.id前缀.set("ab");
  std::optional<std::int64_t> id;
  const std::string out = stdout_of([&] { id = insert_message_after_record("群", 3, Json::object()); });
  EXPECT_EQ(out, "插入成功！新记录的id为: 7\n");
  EXPECT_EQ(id, 7);
  ASSERT_EQ(store_->after_calls.size(), 1u);
  const auto& call = store_->after_calls[0];
  EXPECT_EQ(call.group_name, "群");
  EXPECT_EQ(call.target_id, 3);
  EXPECT_THAT(keys_of(call.row), ElementsAre("type", "content", "sender", "timestamp", "msg_id", "quote_id",
                                             "quote_content", "recall_id", "image_url", "status", "img_md5"));
  EXPECT_EQ(call.row["type"], "text");
  EXPECT_EQ(call.row["timestamp"], "2024-5-6-7:8:9");
  EXPECT_THAT(call.row["msg_id"].get<std::string>(), MatchesRegex("ab[0-9]{7}"));
  for (const char* key :
       {"content", "sender", "quote_id", "quote_content", "recall_id", "image_url", "status", "img_md5"})
    EXPECT_EQ(call.row[key], "") << key;
}

TEST_F(InsertAfterRecord, GivenValuesAreTakenAndStatusAndKeyStayEmpty) {
  const Json data = {{"type", "image"},       {"content", "c"},        {"sender", "s"},         {"quote_id", "q"},
                     {"quote_content", "qc"}, {"recall_id", "r"},      {"image_url", "u"},      {"status", "发送成功"},
                     {"img_md5", "m"},        {"group_name", "other"}, {"have_checked", "true"}};
  stdout_of([&] { insert_message_after_record("群", 1, data); });
  ASSERT_EQ(store_->after_calls.size(), 1u);
  const Json& row = store_->after_calls[0].row;
  EXPECT_EQ(row.size(), 11u);
  EXPECT_EQ(row["type"], "image");
  EXPECT_EQ(row["content"], "c");
  EXPECT_EQ(row["sender"], "s");
  EXPECT_EQ(row["quote_id"], "q");
  EXPECT_EQ(row["quote_content"], "qc");
  EXPECT_EQ(row["recall_id"], "r");
  EXPECT_EQ(row["image_url"], "u");
  EXPECT_EQ(row["status"], "");
  EXPECT_EQ(row["img_md5"], "");
  EXPECT_FALSE(row.contains("group_name"));
  EXPECT_FALSE(row.contains("have_checked"));
}

TEST_F(InsertAfterRecord, ValueErrorOfTheStoreIsPrintedAsFailure) {
  store_->after_error = [] { throw ValueError("目标记录不存在"); };
  std::optional<std::int64_t> id = 0;
  EXPECT_EQ(stdout_of([&] { id = insert_message_after_record("群", 99, Json::object()); }),
            "插入失败: 目标记录不存在\n");
  EXPECT_EQ(id, std::nullopt);
}

TEST_F(InsertAfterRecord, OtherErrorsArePrintedAsErrors) {
  store_->after_error = [] { throw DatabaseError("disk I/O error"); };
  std::optional<std::int64_t> id = 0;
  EXPECT_EQ(stdout_of([&] { id = insert_message_after_record("群", 1, Json::object()); }),
            "插入过程中发生错误: disk I/O error\n");
  EXPECT_EQ(id, std::nullopt);

  config.db.reset();
  EXPECT_EQ(stdout_of([&] { id = insert_message_after_record("群", 1, Json::object()); }),
            "插入过程中发生错误: 'config' has no attribute 'db'\n");
  EXPECT_EQ(id, std::nullopt);
}

TEST_F(InsertAfterRecord, NonTextValueFailsBuildingTheRecord) {
  std::optional<std::int64_t> id = 0;
  const std::string out = stdout_of([&] {
    id = insert_message_after_record("群", 1, Json{{"content", 5}, {"type", "text"}});
  });
  EXPECT_THAT(out, ::testing::StartsWith("插入过程中发生错误: "));
  EXPECT_THAT(out, HasSubstr("content"));
  EXPECT_EQ(id, std::nullopt);
  EXPECT_TRUE(store_->after_calls.empty());

  EXPECT_THAT(stdout_of([&] { id = insert_message_after_record("群", 1, Json::array({1})); }),
              ::testing::StartsWith("插入过程中发生错误: "));
  EXPECT_THAT(stdout_of([&] {
                id = insert_message_after_record("群", 1, Json{{"sender", nullptr}});
              }),
              ::testing::StartsWith("插入过程中发生错误: "));
  EXPECT_TRUE(store_->after_calls.empty());
}

using RawStatements = StoreRecords;

TEST_F(RawStatements, ClearTableQuotesTheNameAndHoldsTheLockThroughCommit) {
  clear_table("messages");
  EXPECT_THAT(store_->executed, ElementsAre("DELETE FROM \"messages\""));
  EXPECT_TRUE(store_->locked_at_execute);
  EXPECT_TRUE(store_->locked_at_commit);
  EXPECT_EQ(store_->commits, 1);
  EXPECT_FALSE(store_->lock().held_by_this_thread());
}

TEST_F(RawStatements, CleanupDeletesSentRowsUnderTheLock) {
  cleanup_sent_messages_hard();
  EXPECT_THAT(store_->executed, ElementsAre("DELETE FROM messages WHERE status = '发送成功'"));
  EXPECT_TRUE(store_->locked_at_execute);
  EXPECT_TRUE(store_->locked_at_commit);
  EXPECT_EQ(store_->commits, 1);
}

TEST_F(RawStatements, FailedStatementIsRolledBackNotCommitted) {
  store_->fail_execute = true;
  EXPECT_THROW(clear_table("messages"), DatabaseError);
  EXPECT_THROW(cleanup_sent_messages_hard(), DatabaseError);
  EXPECT_EQ(store_->commits, 0);
  EXPECT_EQ(store_->rollbacks, 2);
  EXPECT_FALSE(store_->lock().held_by_this_thread());
}

TEST_F(RawStatements, NamesOtherThanPlainIdentifiersAreRejectedUntouched) {
  for (const std::string bad : {"", "1messages", "messages; DROP TABLE messages", "messages--", "\"messages\"",
                                "main.messages", "mes sages", "消息"}) {
    try {
      clear_table(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "invalid table name: " + bad);
    }
  }
  EXPECT_TRUE(store_->executed.empty());
  clear_table("_Messages_2");
  EXPECT_THAT(store_->executed, ElementsAre("DELETE FROM \"_Messages_2\""));
}

// The same operations against the SQLite store, in a fresh file per test.
class SqliteStoreOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    config.reset();
    dir_ = std::filesystem::temp_directory_path() / ("orvanta_store_ops_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    db_ = sqlite::open_message_db((dir_ / "wxChat.db").string());
    config.db.set(db_);
  }
  void TearDown() override {
    config.reset();
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Whether a thread other than this one can take the store's lock now.
  bool lock_free_for_another_thread() {
    bool taken = false;
    std::thread other([&] {
      taken = db_->lock().try_lock();
      if (taken) db_->lock().unlock();
    });
    other.join();
    return taken;
  }

  std::vector<std::string> statuses(const std::string& group) {
    std::vector<std::string> out;
    for (const auto& row : db_->get_all_messages(AllQuery{.group_name = group}))
      out.push_back(row["status"].get<std::string>());
    return out;
  }

  std::filesystem::path dir_;
  std::shared_ptr<MessageDB> db_;
};

TEST_F(SqliteStoreOperations, StoredMessageCarriesTheTimeOfStoring) {
  PinnedClock clock;
  clock.pin_local(2024, 2, 1, 9, 5, 3);
  update_db_messages(sample_message("群", "hello"));
  const Rows rows = db_->get_all_messages(AllQuery{.group_name = "群"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["timestamp"], "2024-2-1-9:5:3");
  EXPECT_EQ(rows[0]["content"], "hello");
  EXPECT_EQ(get_group_message_count("群"), 1);
}

TEST_F(SqliteStoreOperations, ClearTableEmptiesMessagesAndLeavesItUsable) {
  update_db_messages(sample_message("g", "one"));
  update_db_messages(sample_message("g", "two"));
  ASSERT_EQ(get_group_message_count("g"), 2);
  clear_table("messages");
  EXPECT_EQ(get_group_message_count("g"), 0);
  EXPECT_TRUE(lock_free_for_another_thread());
  update_db_messages(sample_message("g", "three"));
  EXPECT_EQ(get_group_message_count("g"), 1);
}

TEST_F(SqliteStoreOperations, BadNameIsRejectedAndTheLockIsFreeAfterwards) {
  update_db_messages(sample_message("g", "kept"));
  EXPECT_THROW(clear_table("messages; DROP TABLE messages"), ValueError);
  EXPECT_THROW(clear_table("messages WHERE 1"), ValueError);
  EXPECT_TRUE(lock_free_for_another_thread());
  EXPECT_EQ(get_group_message_count("g"), 1);
}

TEST_F(SqliteStoreOperations, MissingTableErrorReachesCallerAndTheLockIsFree) {
  update_db_messages(sample_message("g", "kept"));
  EXPECT_THROW(clear_table("no_such_table"), DatabaseError);
  EXPECT_TRUE(lock_free_for_another_thread());
  // Nothing was left open: the store goes on storing and deleting.
  update_db_messages(sample_message("g", "more"));
  EXPECT_EQ(get_group_message_count("g"), 2);
  clear_table("messages");
  EXPECT_EQ(get_group_message_count("g"), 0);
}

TEST_F(SqliteStoreOperations, CleanupRemovesExactlyTheSentRows) {
  for (const char* status : {"发送成功", "", "200", "发送成功 ", "发送失败", "发送成功"})
    update_db_messages(sample_message("g", "m", status));
  update_db_messages(sample_message("h", "m", "发送成功"));
  cleanup_sent_messages_hard();
  EXPECT_THAT(statuses("g"), ElementsAre("", "200", "发送成功 ", "发送失败"));
  EXPECT_TRUE(statuses("h").empty());
  EXPECT_TRUE(lock_free_for_another_thread());
}

TEST_F(SqliteStoreOperations, CleanupWhileAnotherThreadStores) {
  constexpr int kRows = 200;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < kRows; ++i) {
      update_db_messages(sample_message("w", "kept"));
      update_db_messages(sample_message("w", "gone", "发送成功"));
    }
    done = true;
  });
  while (!done) cleanup_sent_messages_hard();
  writer.join();
  cleanup_sent_messages_hard();
  EXPECT_EQ(get_group_message_count("w"), kRows);
  for (const auto& status : statuses("w")) EXPECT_EQ(status, "");
}

TEST_F(SqliteStoreOperations, MemberListTextKeepsEscapes) {
  update_db_group_member("群", {"张三", "Bob"});
  EXPECT_EQ(db_->get_group_member("群"), R"(["\u5f20\u4e09", "Bob"])");
}

TEST_F(SqliteStoreOperations, InsertAfterRecordPrintsTheNewNumberOrTheStoreRefusal) {
  update_db_messages(sample_message("g", "first"));
  update_db_messages(sample_message("g", "last"));
  const Rows before = db_->get_all_messages(AllQuery{.group_name = "g"});
  ASSERT_EQ(before.size(), 2u);
  const std::int64_t first_id = before[0]["id"].get<std::int64_t>();

  std::optional<std::int64_t> id;
  const std::string out = stdout_of([&] {
    id = insert_message_after_record("g", first_id, Json{{"content", "middle"}});
  });
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(out, "插入成功！新记录的id为: " + std::to_string(*id) + "\n");
  EXPECT_EQ(get_group_message_count("g"), 3);

  std::optional<std::int64_t> none = 0;
  const std::string refused = stdout_of([&] {
    none = insert_message_after_record("g", 123456, Json{{"content", "x"}});
  });
  EXPECT_THAT(refused, ::testing::StartsWith("插入失败: "));
  EXPECT_EQ(none, std::nullopt);
  EXPECT_EQ(get_group_message_count("g"), 3);
}

}  // namespace
}  // namespace orvanta::robot

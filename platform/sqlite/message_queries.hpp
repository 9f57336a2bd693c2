#pragma once

// The SQL of the message store: its schema, its fixed statements and the
// builders of its filtered queries. Kept apart from the store so that the
// query plans of exactly these texts can be examined.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "orvanta/message_db.hpp"

namespace orvanta::sqlite {

// The columns of a stored row, in the order rows are returned.
inline constexpr std::array<std::string_view, 14> kColumns = {
    "id",       "group_name",    "type",      "content",   "sender",       "timestamp", "msg_id",
    "quote_id", "quote_content", "recall_id", "image_url", "have_checked", "status",    "img_md5"};

// The 13 columns a caller supplies (all but "id"), in column order.
inline constexpr std::array<std::string_view, 13> kDataColumns = {
    "group_name",    "type",      "content",   "sender",       "timestamp", "msg_id", "quote_id",
    "quote_content", "recall_id", "image_url", "have_checked", "status",    "img_md5"};

// The selected columns of every query: the row's columns, then its place in
// the group's order (read by the outer query of a union, never returned).
inline constexpr std::string_view kSelectColumns =
    "id, group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, recall_id, image_url, "
    "have_checked, status, img_md5, seq";

// Rows are ordered within their group by `seq`, not by `id`: an id is never
// changed once given (a caller may hold it and update by it later), while a
// row inserted after another one takes a `seq` between its neighbours. A row
// stored normally takes seq = id, so it comes last in its group; every seq is
// at most the largest id ever given, which keeps it so.
//
// Ids are never reused, not even those of deleted rows (AUTOINCREMENT): a
// thread holding the id of a row that the clean-up deleted must not update
// a newer row by it.
//
// Every lookup of the store is the group name plus one column, newest first,
// so each such column has an index (group_name, column, seq): the lookup is a
// search and the order is read from the index, never sorted.
//
// The daily clean-up deletes the rows whose status is "发送成功" under the
// store's lock. A partial index holds exactly those rows, so the clean-up
// visits only them instead of scanning the whole table, and rows of any
// other status cost nothing to index.
inline constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS messages (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  group_name TEXT NOT NULL DEFAULT '',
  type TEXT NOT NULL DEFAULT '',
  content TEXT NOT NULL DEFAULT '',
  sender TEXT,
  timestamp TEXT NOT NULL DEFAULT '',
  msg_id TEXT NOT NULL DEFAULT '',
  quote_id TEXT NOT NULL DEFAULT '',
  quote_content TEXT NOT NULL DEFAULT '',
  recall_id TEXT NOT NULL DEFAULT '',
  image_url TEXT NOT NULL DEFAULT '',
  have_checked TEXT NOT NULL DEFAULT '',
  status TEXT NOT NULL DEFAULT '',
  img_md5 TEXT NOT NULL DEFAULT '',
  seq REAL
);
CREATE INDEX IF NOT EXISTS messages_by_group ON messages(group_name, seq);
CREATE INDEX IF NOT EXISTS messages_by_msg_id ON messages(group_name, msg_id, seq);
CREATE INDEX IF NOT EXISTS messages_by_img_md5 ON messages(group_name, img_md5, seq);
CREATE INDEX IF NOT EXISTS messages_by_content ON messages(group_name, content, seq);
CREATE INDEX IF NOT EXISTS messages_by_type ON messages(group_name, type, seq);
CREATE INDEX IF NOT EXISTS messages_by_checked ON messages(group_name, have_checked, seq);
CREATE INDEX IF NOT EXISTS messages_sent ON messages(status) WHERE status = '发送成功';
-- A row written through the raw connection without a place is placed last.
CREATE TRIGGER IF NOT EXISTS messages_place_last AFTER INSERT ON messages WHEN NEW.seq IS NULL
BEGIN
  UPDATE messages SET seq = NEW.id WHERE id = NEW.id;
END;
CREATE TABLE IF NOT EXISTS group_members (
  group_name TEXT PRIMARY KEY,
  member TEXT NOT NULL
);
)sql";

// The id AUTOINCREMENT gives next: one past the largest id ever given.
#define ORVANTA_SQLITE_NEXT_ID                                                         \
  "(SELECT MAX(IFNULL((SELECT seq FROM sqlite_sequence WHERE name = 'messages'), 0), " \
  "IFNULL((SELECT MAX(id) FROM messages), 0)) + 1)"

// The id and the place are both the next id. Both are computed in VALUES
// before the row is written; an INSERT ... SELECT reading the same table
// would first copy its result into a temporary table on every call.
inline constexpr std::string_view kInsertMessage =
    "INSERT INTO messages (id, group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, "
    "recall_id, image_url, have_checked, status, img_md5, seq) "
    "VALUES (" ORVANTA_SQLITE_NEXT_ID
    ", ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, " ORVANTA_SQLITE_NEXT_ID ")";
inline constexpr std::string_view kNextId = "SELECT " ORVANTA_SQLITE_NEXT_ID;
#undef ORVANTA_SQLITE_NEXT_ID
inline constexpr std::string_view kInsertPlaced =
    "INSERT INTO messages (id, group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, "
    "recall_id, image_url, have_checked, status, img_md5, seq) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";
inline constexpr std::string_view kSeqOfRecord = "SELECT seq FROM messages WHERE id = ?1 AND group_name = ?2";
inline constexpr std::string_view kNextSeq =
    "SELECT seq FROM messages WHERE group_name = ?1 AND seq > ?2 ORDER BY seq LIMIT 1";
inline constexpr std::string_view kIdsInOrder = "SELECT id FROM messages WHERE group_name = ?1 ORDER BY seq, id";
inline constexpr std::string_view kSetSeq = "UPDATE messages SET seq = ?1 WHERE id = ?2";
inline constexpr std::string_view kCountGroup = "SELECT COUNT(*) FROM messages WHERE group_name = ?1";
inline constexpr std::string_view kUpsertMember =
    "INSERT INTO group_members (group_name, member) VALUES (?1, ?2) "
    "ON CONFLICT(group_name) DO UPDATE SET member = excluded.member";
inline constexpr std::string_view kGetMember = "SELECT member FROM group_members WHERE group_name = ?1";
inline constexpr std::string_view kBegin = "BEGIN";
inline constexpr std::string_view kBeginImmediate = "BEGIN IMMEDIATE";
inline constexpr std::string_view kCommit = "COMMIT";
inline constexpr std::string_view kRollback = "ROLLBACK";
inline constexpr std::string_view kSavepoint = "SAVEPOINT store_operation";
inline constexpr std::string_view kRelease = "RELEASE store_operation";
inline constexpr std::string_view kRollbackTo = "ROLLBACK TO store_operation";

// Writes into `sql` the newest-first query of get_latest_messages for
// `query` with `type_count` distinct types (0 when no type is asked for).
// Parameters, in order, per type (or once without types): the group name,
// then msg_id, img_md5, content when the query has them, then the type, then
// the count; with two or more types, the count once more at the end.
void build_latest_query(std::string& sql, const LatestQuery& query, std::size_t type_count);

// Writes into `sql` the oldest-first query of get_all_messages. Parameters,
// in order: the group name, the checked flag (each when filtered on), then
// the `type_count` types.
void build_all_query(std::string& sql, bool by_group, bool by_checked, std::size_t type_count);

}  // namespace orvanta::sqlite

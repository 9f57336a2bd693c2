#pragma once

// The operations through which the rest of the system writes to and reads
// from the message store `config.db`. Each builds one record or one statement
// and hands it to the store; the store object is read from `config` at the
// moment of every call (AttributeError when there is none).
//
// Thread-safety: every operation may be called from any thread. The two raw
// deletes hold the store's lock around cursor, statement and commit; the rest
// rely on the store's own operations being safe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/json.hpp"
#include "orvanta/message_db.hpp"
#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// Stores one message: the 13-key record of `params` in the store's column
// order, with the time stamp of this moment (the record's own `timestamp` is
// not used) and a null sender when it has none.
ORVANTA_ROBOT_EXPORT void update_db_messages(const MessageData& params);

// Stores a group's member list as {"group_name", "member"}, the member names
// written as JSON text (non-ASCII characters as \uXXXX escapes).
ORVANTA_ROBOT_EXPORT void update_db_group_member(const std::string& group_name, const std::vector<std::string>& member);

// The number of stored messages of the group, as the store counts them.
ORVANTA_ROBOT_EXPORT std::int64_t get_group_message_count(const std::string& group_name);

// Stores a new message directly after the record `target_id` of the group.
// The record takes "type", "content", "sender", "quote_id", "quote_content",
// "recall_id" and "image_url" from `new_message_data` (defaults "text" and
// empty texts), a fresh time stamp and identifier, and empty "status" and
// "img_md5". Prints the outcome and returns the new record's number; every
// failure, including a non-text value in `new_message_data`, is printed
// instead and yields nothing.
ORVANTA_ROBOT_EXPORT std::optional<std::int64_t> insert_message_after_record(const std::string& group_name,
                                                                             std::int64_t target_id,
                                                                             const Json& new_message_data);

// Deletes every row of the table and commits, under the store's lock. Only a
// plain name ([A-Za-z_][A-Za-z0-9_]*) is accepted; anything else raises
// ValueError before the store is touched. A failing statement (a table that
// does not exist, for example) is rolled back and its error raised; the lock
// is released in every case.
ORVANTA_ROBOT_EXPORT void clear_table(const std::string& table_name);

// Drops the table through the store, then prints that it is gone.
ORVANTA_ROBOT_EXPORT void delte_table(const std::string& table_name);

// The member entries {"number", "name", "group_id"} of `members`, in order.
ORVANTA_ROBOT_EXPORT Json format_group_member(const std::vector<std::string>& members, const std::string& group_name);

// The statement of cleanup_sent_messages_hard, run on the raw connection.
// The store keeps an index of the rows it deletes (so that the clean-up,
// which holds the store's lock, never reads the whole table); its plan is
// tested against exactly this text.
inline constexpr std::string_view kDeleteSentMessages = "DELETE FROM messages WHERE status = '发送成功'";

// Deletes every stored message whose status is "发送成功" and commits, under
// the store's lock; a failure is rolled back and raised.
ORVANTA_ROBOT_EXPORT void cleanup_sent_messages_hard();

}  // namespace orvanta::robot

#pragma once

// The message store over an SQLite file.
//
// The file is in WAL mode with NORMAL synchronisation (a crash never damages
// it; a power failure may lose the last commits) and a busy timeout of five
// seconds for other connections to the same file. Table "messages" holds the
// rows; table "group_members" holds one member list per group.
//
// Order: a group's rows are ordered by a place of their own, not by id. A
// row stored by insert_messages comes last in its group; insert_after_record
// places a row directly after its target without changing any id (an id
// stays valid for later updates). When there is no more room between two
// neighbours, the group's places are renumbered in the same transaction.
//
// Thread-safety: every operation takes the store's lock, so any thread may
// call any operation. The raw path (conn()) works as Python's sqlite3 module
// does: a statement that writes opens a transaction that lasts until
// commit(); a statement that fails changes nothing and raises DatabaseError
// with SQLite's message, and if it opened the transaction, none stays open.
// Using the raw path without holding lock() raises DatabaseError. When the
// lock is released for the last time with a transaction still open, that
// transaction is rolled back. The store's own operations, called while the
// raw path has a transaction open, become part of that transaction.

#include <memory>
#include <string>

#include "orvanta/message_db.hpp"

namespace orvanta::sqlite {

// Opens (creating it when missing) the store in the file at `path`. Raises
// DatabaseError when the file cannot be opened as a store.
std::shared_ptr<MessageDB> open_message_db(const std::string& path);

}  // namespace orvanta::sqlite

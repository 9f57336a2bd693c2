#pragma once

// The message store over an SQLite file.

#include <memory>
#include <string>

#include "orvanta/message_db.hpp"

namespace orvanta::sqlite {

// Opens (creating it when missing) the store in the file at `path`. Raises
// DatabaseError when the file cannot be opened as a store.
std::shared_ptr<MessageDB> open_message_db(const std::string& path);

}  // namespace orvanta::sqlite

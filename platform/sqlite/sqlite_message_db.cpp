#include "orvanta/sqlite/sqlite_message_db.hpp"

#include "orvanta/errors.hpp"

namespace orvanta::sqlite {

std::shared_ptr<MessageDB> open_message_db(const std::string& path) {
  throw DatabaseError("not built yet: " + path);
}

}  // namespace orvanta::sqlite

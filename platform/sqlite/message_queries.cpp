#include "message_queries.hpp"

#include <algorithm>

namespace orvanta::sqlite {

void build_latest_query(std::string& sql, const LatestQuery& query, std::size_t type_count) {
  // One newest-first search per type, each cut to the count, then the union
  // cut to the count: no more than that many rows per type are ever read or
  // ordered, however large the group.
  sql.clear();
  const std::size_t arms = std::max<std::size_t>(type_count, 1);
  for (std::size_t arm = 0; arm < arms; ++arm) {
    if (arms > 1) sql += arm == 0 ? "SELECT * FROM (" : " UNION ALL SELECT * FROM (";
    sql += "SELECT ";
    sql += kSelectColumns;
    sql += " FROM messages WHERE group_name = ?";
    if (query.msg_id) sql += " AND msg_id = ?";
    if (query.img_md5) sql += " AND img_md5 = ?";
    if (query.content) sql += " AND content = ?";
    if (type_count > 0) sql += " AND type = ?";
    sql += " ORDER BY seq DESC LIMIT ?";
    if (arms > 1) sql += ")";
  }
  if (arms > 1) sql += " ORDER BY seq DESC LIMIT ?";
}

void build_all_query(std::string& sql, bool by_group, bool by_checked, std::size_t type_count) {
  sql.clear();
  sql += "SELECT ";
  sql += kSelectColumns;
  sql += " FROM messages";
  const char* joiner = " WHERE ";
  if (by_group) {
    sql += joiner;
    sql += "group_name = ?";
    joiner = " AND ";
  }
  if (by_checked) {
    sql += joiner;
    sql += "have_checked = ?";
    joiner = " AND ";
  }
  if (type_count > 0) {
    // With the checked flag given, the (group, flag, order) index is the one
    // to walk; the unary plus keeps the planner from choosing the type index
    // instead, which would have to sort the rows afterwards.
    sql += joiner;
    sql += by_checked ? "+type IN (" : "type IN (";
    for (std::size_t i = 0; i < type_count; ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";
  }
  sql += " ORDER BY seq, id";
}

}  // namespace orvanta::sqlite

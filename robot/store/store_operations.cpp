// Store operations: thin builders of records and statements over config.db.

#include "orvanta/robot/store_operations.hpp"

#include <memory>
#include <mutex>
#include <stdexcept>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/output.hpp"

namespace orvanta::robot {
namespace {

bool is_plain_identifier(const std::string& name) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.empty() || !letter(name.front())) return false;
  for (char c : name)
    if (!letter(c) && !digit(c)) return false;
  return true;
}

// Runs one data-changing statement on the store's connection under its lock
// and commits it. When the statement or the commit fails, the transaction is
// rolled back and the failure raised; the lock is released either way.
void execute_and_commit(MessageDB& db, const std::string& statement) {
  std::lock_guard guard(db.lock());
  Connection& conn = db.conn();
  try {
    conn.cursor()->execute(statement);
    conn.commit();
  } catch (...) {
    try {
      conn.rollback();
    } catch (const std::exception&) {
      // The statement's own failure is the one to report.
    }
    throw;
  }
}

// The text under `key` of the caller's mapping, or `fallback` when absent.
std::string text_or(const Json& data, const char* key, const char* fallback) {
  const auto it = data.find(key);
  if (it == data.end()) return fallback;
  if (!it->is_string()) throw TypeError(std::string("value of '") + key + "' must be text, not " + it->type_name());
  return it->get<std::string>();
}

}  // namespace

void update_db_messages(const MessageData& params) {
  const auto db = config.db.get();
  Json record = Json::object();
  record["group_name"] = params.group_name;
  record["type"] = params.type;
  record["content"] = params.content;
  record["sender"] = params.sender ? Json(*params.sender) : Json(nullptr);
  record["timestamp"] = get_now();
  record["msg_id"] = params.msg_id;
  record["quote_id"] = params.quote_id;
  record["quote_content"] = params.quote_content;
  record["recall_id"] = params.recall_id;
  record["image_url"] = params.image_url;
  record["have_checked"] = params.have_checked;
  record["status"] = params.status;
  record["img_md5"] = params.img_md5;
  db->insert_messages(record);
}

void update_db_group_member(const std::string& group_name, const std::vector<std::string>& member) {
  const auto db = config.db.get();
  Json record = Json::object();
  record["group_name"] = group_name;
  record["member"] = json_dumps(Json(member));
  db->insert_group_member(record);
}

std::int64_t get_group_message_count(const std::string& group_name) {
  return config.db.get()->get_message_count_by_group(group_name);
}

std::optional<std::int64_t> insert_message_after_record(const std::string& group_name, std::int64_t target_id,
                                                        const Json& new_message_data) {
  try {
    if (!new_message_data.is_object())
      throw TypeError(std::string("new_message_data must be a mapping, not ") + new_message_data.type_name());
    Json record = Json::object();
    record["type"] = text_or(new_message_data, "type", "text");
    record["content"] = text_or(new_message_data, "content", "");
    record["sender"] = text_or(new_message_data, "sender", "");
    record["timestamp"] = get_now();
    record["msg_id"] = get_msg_id();
    record["quote_id"] = text_or(new_message_data, "quote_id", "");
    record["quote_content"] = text_or(new_message_data, "quote_content", "");
    record["recall_id"] = text_or(new_message_data, "recall_id", "");
    record["image_url"] = text_or(new_message_data, "image_url", "");
    record["status"] = "";
    record["img_md5"] = "";
    const std::int64_t new_id = config.db.get()->insert_after_record(group_name, target_id, record);
    print_line("插入成功！新记录的id为: " + std::to_string(new_id));
    return new_id;
  } catch (const ValueError& e) {
    print_line(std::string("插入失败: ") + e.what());
  } catch (const std::exception& e) {
    print_line(std::string("插入过程中发生错误: ") + e.what());
  }
  return std::nullopt;
}

void clear_table(const std::string& table_name) {
  const auto db = config.db.get();
  // The name becomes part of the statement, so only a plain identifier is
  // accepted, and it is quoted so that a keyword cannot change the meaning.
  if (!is_plain_identifier(table_name)) throw ValueError("invalid table name: " + table_name);
  execute_and_commit(*db, "DELETE FROM \"" + table_name + "\"");
}

void delte_table(const std::string& table_name) {
  config.db.get()->drop_table(table_name);
  print_line("表 '" + table_name + "' 已删除");
}

Json format_group_member(const std::vector<std::string>& members, const std::string& group_name) {
  Json entries = Json::array();
  for (const auto& name : members) {
    Json entry = Json::object();
    entry["number"] = name;
    entry["name"] = name;
    entry["group_id"] = group_name;
    entries.push_back(std::move(entry));
  }
  return entries;
}

void cleanup_sent_messages_hard() {
  const auto db = config.db.get();
  execute_and_commit(*db, std::string(kDeleteSentMessages));
}

}  // namespace orvanta::robot

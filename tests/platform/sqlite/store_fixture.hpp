#pragma once

// A fresh store in a temporary directory for each test, and builders of the
// rows the system stores.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvanta/message_db.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::sqlite::testing {

using orvanta::testing::TempDir;

// A row with the 13 keys of a stored message, in the order the system
// builds it; `content` doubles as the message identifier unless given.
inline Row message_row(const std::string& group, const std::string& content, const std::string& type = "text",
                       const std::string& msg_id = "") {
  Row row;
  row["group_name"] = group;
  row["type"] = type;
  row["content"] = content;
  row["sender"] = "sender of " + content;
  row["timestamp"] = "2026-1-2-3:04:05";
  row["msg_id"] = msg_id.empty() ? "id-" + content : msg_id;
  row["quote_id"] = "";
  row["quote_content"] = "";
  row["recall_id"] = "";
  row["image_url"] = "";
  row["have_checked"] = "false";
  row["status"] = "";
  row["img_md5"] = "";
  return row;
}

class StoreTest : public ::testing::Test {
 protected:
  std::string file() const { return (dir_.path() / "wxChat.db").string(); }

  // Stores one message of `group` and returns its id.
  std::int64_t add(const std::string& group, const std::string& content, const std::string& type = "text") {
    db_->insert_messages(message_row(group, content, type));
    auto rows = db_->get_latest_messages(1, LatestQuery{.group_name = group, .msg_id = "id-" + content});
    return rows.at(0)["id"].get<std::int64_t>();
  }

  // The contents of the group's rows, oldest first.
  std::vector<std::string> contents(const std::string& group) {
    std::vector<std::string> out;
    for (const auto& row : db_->get_all_messages(AllQuery{.group_name = group})) out.push_back(row["content"]);
    return out;
  }

  // The contents of the group's `n` newest rows, newest first.
  std::vector<std::string> latest_contents(const std::string& group, int n) {
    std::vector<std::string> out;
    for (const auto& row : db_->get_latest_messages(n, LatestQuery{.group_name = group})) out.push_back(row["content"]);
    return out;
  }

  TempDir dir_;
  std::shared_ptr<MessageDB> db_ = open_message_db(file());
};

}  // namespace orvanta::sqlite::testing

// Event records for the server, and the lines a person reads.

#include "event_reporter.hpp"

#include <initializer_list>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"

namespace orvanta::host {

namespace {

std::string account() {
  return config.my_wxName.value_or("");
}

// The stored row of the group with this message identifier, if any.
std::optional<Row> stored_row(const std::string& group, const std::string& msg_id) {
  auto db = config.db.load();
  if (!db) return std::nullopt;
  auto rows = (*db)->get_latest_messages(1, LatestQuery{.group_name = group, .msg_id = msg_id});
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

// The identifier of the join notice just stored for `name` in `group`: the
// notice is stored right before the join is reported, so it is the group's
// newest system line.
std::optional<std::string> join_notice_id(const std::string& group, const std::string& name) {
  auto db = config.db.load();
  if (!db) return std::nullopt;
  auto rows = (*db)->get_latest_messages(1, LatestQuery{.group_name = group, .type = std::vector<std::string>{"base"}});
  if (rows.empty()) return std::nullopt;
  const Row& row = rows.front();
  const auto content = row.value("content", std::string());
  const auto id = row.value("msg_id", std::string());
  if (id.empty() || content.find(name) == std::string::npos) return std::nullopt;
  return id;
}

// An event record other than a group message: "event" and "id", the event's
// own fields in order, then the account and the local time.
Json event_record(const char* event, const std::string& id,
                  std::initializer_list<std::pair<const char*, std::string>> fields) {
  Json record = Json::object();
  record["event"] = event;
  record["id"] = id;
  for (const auto& [key, value] : fields) record[key] = value;
  record["receiver"] = account();
  record["time"] = robot::get_now();
  return record;
}

std::string shown(const std::optional<std::string>& v) {
  return v ? *v : std::string("(no remark)");
}

}  // namespace

EventReporter::EventReporter(Publish publish) : publish_(std::move(publish)) {}

void EventReporter::emit(const std::string& id, const Json& record) {
  if (publish_) publish_(id, record);
}

boost::asio::awaitable<void> EventReporter::group_message(Message msg) {
  ++counts_->group_messages;
  const std::string id = msg.sequence;
  print_line(fmt::format("orvanta: group message {} in {} from {}: {}", id, msg.position, shown(msg.sender),
                         msg.type == "image" ? "[picture " + msg.origin_pic_name + "]" : msg.content));
  logger()->info("event group_message {} group={}", id, msg.position);
  emit(id, to_json(msg));
  co_return;
}

boost::asio::awaitable<void> EventReporter::private_message(std::string chat_name, std::string msg_id) {
  ++counts_->private_messages;
  print_line(fmt::format("orvanta: private message {} from {}", msg_id, chat_name));
  logger()->info("event private_message {} chat={}", msg_id, chat_name);
  emit(msg_id, event_record("private_message", msg_id, {{"chat", chat_name}}));
  co_return;
}

boost::asio::awaitable<void> EventReporter::member_joined(std::string name, std::string group) {
  ++counts_->joins;
  std::string id;
  if (auto found = join_notice_id(group, name)) {
    id = *found;
  } else {
    id = robot::get_msg_id();
  }
  print_line(fmt::format("orvanta: member joined {}: {} [{}]", group, name, id));
  logger()->info("event member_join {} group={} member={}", id, group, name);
  emit(id, event_record("member_join", id, {{"group", group}, {"member", name}}));
  co_return;
}

boost::asio::awaitable<void> EventReporter::message_recalled(std::string msg_id, std::string group) {
  ++counts_->recalls;
  // The recall has an identifier of its own, given to the row when the
  // recall was found; the recalled message keeps its own.
  std::string id;
  if (auto row = stored_row(group, msg_id); row && !row->value("recall_id", std::string()).empty()) {
    id = row->value("recall_id", std::string());
  } else {
    id = robot::get_msg_id();
  }
  print_line(fmt::format("orvanta: message {} recalled in {} [{}]", msg_id, group, id));
  logger()->info("event message_recall {} group={} msg_id={}", id, group, msg_id);
  emit(id, event_record("message_recall", id, {{"msg_id", msg_id}, {"group", group}}));
  co_return;
}

}  // namespace orvanta::host

// Event records for the server, and the lines a person reads.

#include "event_reporter.hpp"

#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "printable.hpp"

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
  return v ? printable(*v) : std::string("(no remark)");
}

}  // namespace

EventReporter::EventReporter(Publish publish) : publish_(std::move(publish)) {}

void EventReporter::emit(const std::string& id, const Json& record) {
  if (publish_) publish_(id, record);
}

boost::asio::awaitable<void> EventReporter::group_message(Message msg) {
  ++counts_->group_messages;
  const std::string id = msg.sequence;
  print_line(fmt::format("orvanta: group message {} in {} from {}: {}", id, printable(msg.position), shown(msg.sender),
                         printable(msg.type == "image" ? "[picture " + msg.origin_pic_name + "]" : msg.content)));
  logger()->info("event group_message {} group={}", id, printable(msg.position));
  emit(id, to_json(msg));
  co_return;
}

boost::asio::awaitable<void> EventReporter::private_message(std::string chat_name, std::string msg_id) {
  ++counts_->private_messages;
  print_line(fmt::format("orvanta: private message {} from {}", msg_id, printable(chat_name)));
  logger()->info("event private_message {} chat={}", msg_id, printable(chat_name));
  emit(msg_id, event_record("private_message", msg_id, {{"chat", chat_name}}));
  co_return;
}

boost::asio::awaitable<void> EventReporter::member_joined(std::string name, std::string group) {
  std::string id;
  if (auto found = join_notice_id(group, name)) {
    id = *found;
  } else {
    id = robot::get_msg_id();
  }
  // One notice may name several members ("Judy、Ken"): one event each.
  for (const auto& member : joined_members(name)) {
    ++counts_->joins;
    print_line(fmt::format("orvanta: member joined {}: {} [{}]", printable(group), printable(member), id));
    logger()->info("event member_join {} group={} member={}", id, printable(group), printable(member));
    emit(id, event_record("member_join", id, {{"group", group}, {"member", member}}));
  }
  co_return;
}

std::vector<std::string> joined_members(const std::string& names) {
  static constexpr std::string_view kSeparator = "、";
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto at = names.find(kSeparator, start);
    std::string part = names.substr(start, at == std::string::npos ? std::string::npos : at - start);
    if (!part.empty()) out.push_back(std::move(part));
    if (at == std::string::npos) break;
    start = at + kSeparator.size();
  }
  if (out.empty()) out.push_back(names);
  return out;
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
  print_line(fmt::format("orvanta: message {} recalled in {} [{}]", msg_id, printable(group), id));
  logger()->info("event message_recall {} group={} msg_id={}", id, printable(group), msg_id);
  emit(id, event_record("message_recall", id, {{"msg_id", msg_id}, {"group", group}}));
  co_return;
}

boost::asio::awaitable<void> EventReporter::gap(std::string chat, std::string reason) {
  ++counts_->gaps;
  const std::string id = robot::get_msg_id();
  print_line(fmt::format("orvanta: messages of {} may be missing: {} [{}]", printable(chat), printable(reason), id));
  logger()->warn("event gap {} chat={} reason={}", id, printable(chat), printable(reason));
  emit(id, event_record("gap", id, {{"chat", chat}, {"reason", reason}}));
  co_return;
}

}  // namespace orvanta::host

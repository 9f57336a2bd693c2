// The status page's record of events, requests and chats.

#include "status_board.hpp"

#include <chrono>
#include <utility>

#include "server_protocol.hpp"

namespace orvanta::host {

namespace {

// A string member of `record`, or "" (a missing member or null).
std::string text_of(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Json text_or_null(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? Json(excerpt(it->get<std::string>())) : Json(nullptr);
}

}  // namespace

std::int64_t wall_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

StatusBoard::StatusBoard(Clock now) : now_(std::move(now)) {}

void StatusBoard::event(const Json& record) {
  if (!record.is_object()) return;
  // A group message's record is the message itself, without "event".
  const std::string kind = record.contains("event") ? text_of(record, "event") : "group_message";
  Json shown = Json::object();
  shown["at"] = now_();
  shown["kind"] = kind;
  std::string chat;
  if (kind == "group_message") {
    chat = text_of(record, "position");
    shown["sender"] = text_or_null(record, "sender");
    shown["text"] = excerpt(text_of(record, "type") == "image" ? "[picture " + text_of(record, "origin_pic_name") + "]"
                                                               : text_of(record, "content"));
  } else if (kind == "private_message") {
    chat = text_of(record, "chat");
    shown["sender"] = excerpt(chat);
    shown["text"] = "";
  } else if (kind == "member_join") {
    chat = text_of(record, "group");
    shown["sender"] = text_or_null(record, "member");
    shown["text"] = "joined";
  } else if (kind == "message_recall") {
    chat = text_of(record, "group");
    shown["sender"] = nullptr;
    shown["text"] = "recalled " + excerpt(text_of(record, "msg_id"));
  } else {
    chat = text_of(record, "chat");
    shown["sender"] = nullptr;
    shown["text"] = excerpt(text_of(record, "reason"));
  }
  shown["chat"] = excerpt(chat);

  std::lock_guard guard(mu_);
  events_.push_front(std::move(shown));
  if (events_.size() > kShownEvents) events_.pop_back();
  if (kind == "private_message") return;
  ChatRow& row = chats_[chat];
  row.last_kind = kind;
  row.last_event = now_();
  if (kind == "group_message") ++row.messages;
  if (kind == "member_join") ++row.joins;
  if (kind == "message_recall") ++row.recalls;
  if (kind == "gap") ++row.gaps;
}

void StatusBoard::request_answer(const Json& record) {
  if (!record.is_object()) return;
  const std::string event = text_of(record, "event");
  Json shown = Json::object();
  shown["at"] = now_();
  shown["request_id"] = text_or_null(record, "request_id");
  if (event == "request_result") {
    shown["type"] = text_or_null(record, "type");
    shown["chat"] = text_or_null(record, "chat");
    shown["result"] = text_or_null(record, "result");
    shown["reason"] = text_or_null(record, "reason");
  } else if (event == "member_list" || event == "img_md5") {
    const bool failed = record.contains("error");
    shown["type"] = event == "member_list" ? "get_members" : "get_img_md5";
    shown["chat"] = text_or_null(record, "chat");
    shown["result"] = failed ? "failed" : "done";
    shown["reason"] = failed ? text_or_null(record, "error") : Json(nullptr);
  } else {
    return;
  }
  std::lock_guard guard(mu_);
  requests_.push_front(std::move(shown));
  if (requests_.size() > kShownRequests) requests_.pop_back();
}

void StatusBoard::chat_read(const std::string& chat) {
  const auto at = now_();
  std::lock_guard guard(mu_);
  chats_[chat].last_read = at;
}

Json StatusBoard::snapshot(Json host, const std::vector<std::string>& groups) const {
  Json out = Json::object();
  out["host"] = std::move(host);
  Json rows = Json::array();
  Json events = Json::array();
  Json requests = Json::array();
  {
    std::lock_guard guard(mu_);
    for (const auto& name : groups) {
      const auto it = chats_.find(name);
      const ChatRow row = it == chats_.end() ? ChatRow{} : it->second;
      Json shown = Json::object();
      shown["name"] = excerpt(name);
      shown["last_read"] = row.last_read ? Json(row.last_read) : Json(nullptr);
      shown["last_event"] = row.last_event ? Json{{"kind", row.last_kind}, {"at", row.last_event}} : Json(nullptr);
      shown["messages"] = row.messages;
      shown["joins"] = row.joins;
      shown["recalls"] = row.recalls;
      shown["gaps"] = row.gaps;
      rows.push_back(std::move(shown));
    }
    for (const auto& e : events_) events.push_back(e);
    for (const auto& r : requests_) requests.push_back(r);
  }
  out["groups"] = std::move(rows);
  out["events"] = std::move(events);
  out["requests"] = std::move(requests);
  return out;
}

}  // namespace orvanta::host

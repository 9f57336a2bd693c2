// Checking and carrying out server messages.

#include "server_protocol.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

#include "log_failure.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/logger.hpp"
#include "pacer.hpp"
#include "printable.hpp"

namespace orvanta::host {

namespace asio = boost::asio;

namespace {

// A message that cannot be carried out; the text says why.
class BadMessage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The account and the local time, which close every record but a group
// message's.
void close_record(Json& record) {
  record["receiver"] = config.my_wxName.value_or("");
  record["time"] = robot::get_now();
}

// The start of the answer to a read request: its event, a fresh identifier
// and the request's own identifier.
Json answer_record(const char* event, std::string request_id) {
  Json record = Json::object();
  record["event"] = event;
  record["id"] = robot::get_msg_id();
  record["request_id"] = std::move(request_id);
  return record;
}

// Publishes the answer to a read request: `record` with `key` set to what
// `read` gives, or to null beside "error" when the read failed.
asio::awaitable<void> answer_read(ServerProtocol::Publish publish, Json record, std::string key,
                                  std::function<asio::awaitable<Json>()> read,
                                  std::shared_ptr<std::atomic<std::size_t>> reads) {
  struct Done {
    std::shared_ptr<std::atomic<std::size_t>> reads;
    ~Done() { --*reads; }
  } done{std::move(reads)};
  std::exception_ptr failure;
  try {
    record[key] = co_await read();
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  if (failure) {
    rethrow_if_cancelled(co_await asio::this_coro::cancellation_state, failure);
    record[key] = nullptr;
    record["error"] = error_text(failure);
  }
  close_record(record);
  publish(record["id"].get<std::string>(), record);
}

// A text member of a request as the result repeats it: null when it is not
// a short text.
Json echoed(const Json& message, const char* key) {
  if (!message.is_object()) return nullptr;
  auto it = message.find(key);
  if (it == message.end() || !it->is_string() || it->get_ref<const std::string&>().size() > kMaxNameBytes)
    return nullptr;
  return *it;
}

// Parses a frame, refusing nesting deeper than kMaxNesting before it is
// built (a deep value could not even be written out again without running
// out of stack).
Json parse_frame(const std::string& text) {
  return Json::parse(text, [](int depth, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= static_cast<int>(kMaxNesting))
      throw BadMessage("nested deeper than " + std::to_string(kMaxNesting) + " levels");
    return true;
  });
}

// A required text member, non-empty and within `limit` bytes.
std::string text_member(const Json& m, const char* key, std::size_t limit) {
  auto it = m.find(key);
  if (it == m.end()) throw BadMessage(std::string("\"") + key + "\" is missing");
  if (!it->is_string()) throw BadMessage(std::string("\"") + key + "\" is not a text");
  std::string value = it->get<std::string>();
  if (value.empty()) throw BadMessage(std::string("\"") + key + "\" is empty");
  if (value.size() > limit)
    throw BadMessage(std::string("\"") + key + "\" is longer than " + std::to_string(limit) + " bytes");
  return value;
}

// An optional text member: absent, null or empty give nothing.
std::optional<std::string> optional_member(const Json& m, const char* key, std::size_t limit) {
  auto it = m.find(key);
  if (it == m.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw BadMessage(std::string("\"") + key + "\" is not a text");
  std::string value = it->get<std::string>();
  if (value.size() > limit)
    throw BadMessage(std::string("\"") + key + "\" is longer than " + std::to_string(limit) + " bytes");
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace

ServerProtocol::ServerProtocol(asio::io_context& loop, ClientActions actions, std::shared_ptr<Pacer> pacer,
                               Publish publish, Acknowledge acknowledge, Forward forward, std::size_t read_limit)
    : loop_(loop),
      actions_(std::move(actions)),
      pacer_(std::move(pacer)),
      publish_(std::move(publish)),
      acknowledge_(std::move(acknowledge)),
      forward_(std::move(forward)),
      read_limit_(std::max<std::size_t>(read_limit, 1)) {}

ServerProtocol::Result ServerProtocol::result_publisher(const Json& message) const {
  if (!publish_) return {};
  Json base = Json::object();
  base["event"] = "request_result";
  base["request_id"] = echoed(message, "request_id");
  base["type"] = echoed(message, "type");
  base["chat"] = echoed(message, "chat");
  return [publish = publish_, base](const std::string& result, const Json& reason) {
    Json record = Json::object();
    record["event"] = base["event"];
    record["id"] = robot::get_msg_id();
    record["request_id"] = base["request_id"];
    record["type"] = base["type"];
    record["chat"] = base["chat"];
    record["result"] = result;
    if (!reason.is_null()) record["reason"] = reason;
    close_record(record);
    publish(record["id"].get<std::string>(), record);
  };
}

Pacer::Report ServerProtocol::pacer_report(const Json& message) const {
  auto result = result_publisher(message);
  auto counters = counters_;
  return [result, counters](Pacer::Outcome outcome, const std::string& reason) {
    switch (outcome) {
      case Pacer::Outcome::kDone:
        ++counters->carried_out;
        if (result) result("done", nullptr);
        break;
      case Pacer::Outcome::kFailed:
        ++counters->failed;
        if (result) result("failed", reason);
        break;
      case Pacer::Outcome::kDropped:
        ++counters->dropped;
        if (result) result("dropped", reason);
        break;
    }
  };
}

std::string excerpt(const std::string& text) {
  constexpr std::size_t kShown = 200;
  std::string shown = text;
  if (text.size() > kShown) {
    // Cut on a character boundary.
    std::size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    shown = text.substr(0, cut) + "...";
  }
  return printable(shown);
}

void ServerProtocol::reject(const std::string& why, const std::string& text) {
  ++counters_->rejected;
  logger()->warn("server message ignored ({}): {}", printable(why), excerpt(text));
}

void ServerProtocol::on_frame(const std::string& text) {
  ++counters_->received;
  Json message;
  try {
    message = parse_frame(text);
  } catch (const BadMessage& e) {
    reject(e.what(), text);
    return;
  } catch (const std::exception& e) {
    reject(std::string("not JSON: ") + e.what(), text);
    return;
  }
  if (message.is_object() && message.value("type", Json()).is_string() && message["type"] == "ack") {
    try {
      acknowledge_(text_member(message, "id", kMaxNameBytes));
    } catch (const BadMessage& e) {
      reject(e.what(), text);
    }
    return;
  }
  asio::co_spawn(loop_, forward_(std::move(message)), log_failure("handling a server message"));
}

void ServerProtocol::reply(const Json& message) {
  try {
    if (!message.is_object()) throw BadMessage("not a JSON object");
    const std::string type = text_member(message, "type", kMaxNameBytes);
    auto actions = actions_;
    auto pacer = pacer_;
    auto publish = publish_;
    auto counters = counters_;

    if (type == "send") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      auto content = text_member(message, "content", kMaxTextBytes);
      auto at = optional_member(message, "at", kMaxNameBytes);
      pacer->submit(
          chat, "a text \"" + excerpt(content) + "\"",
          [actions, chat, content, at] { actions.send_text(content, chat, at); }, pacer_report(message));
    } else if (type == "send_private") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      auto content = text_member(message, "content", kMaxTextBytes);
      pacer->submit(
          chat, "a private text \"" + excerpt(content) + "\"",
          [actions, chat, content] { actions.send_private(content, chat); }, pacer_report(message));
    } else if (type == "reply") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      auto reply_text = text_member(message, "reply_text", kMaxTextBytes);
      auto at = optional_member(message, "at", kMaxNameBytes);
      auto msg_id = optional_member(message, "msg_id", kMaxNameBytes);
      if (msg_id) {
        // A reply to a message the store does not hold would quietly do
        // nothing.
        if (actions.knows_message && !actions.knows_message(chat, *msg_id)) {
          logger()->warn("reply to {} in {} not carried out: no stored message has that identifier", printable(*msg_id),
                         printable(chat));
          ++counters->failed;
          if (auto result = result_publisher(message)) result("failed", "no stored message " + *msg_id + " in " + chat);
          return;
        }
        pacer->submit(
            chat, "a quoted reply \"" + excerpt(reply_text) + "\"",
            [actions, chat, reply_text, at, id = *msg_id] { actions.reply_with_quote(id, reply_text, chat, at); },
            pacer_report(message));
      } else {
        Json send_data = Json::object();
        send_data["quote_content"] = text_member(message, "quote_content", kMaxTextBytes);
        send_data["content"] = optional_member(message, "content", kMaxTextBytes).value_or("");
        send_data["position"] = chat;
        auto resolve = [](ClientActions actions, std::shared_ptr<Pacer> pacer, Json send_data, std::string chat,
                          std::string reply_text, std::optional<std::string> at,
                          Pacer::Report report) -> asio::awaitable<void> {
          std::exception_ptr failure;
          std::string id;
          try {
            id = co_await actions.latest_quote(send_data);
          } catch (const std::exception&) {
            failure = std::current_exception();
          }
          if (failure) {
            rethrow_if_cancelled(co_await asio::this_coro::cancellation_state, failure);
            logger()->error("finding the message quoted in {} failed: {}", printable(chat),
                            printable(error_text(failure)));
            if (report) report(Pacer::Outcome::kFailed, "finding the quoted message failed: " + error_text(failure));
            co_return;
          }
          const std::string what = "a reply \"" + excerpt(reply_text) + "\"";
          if (id.empty()) {
            logger()->info("no stored message of {} matches the quoted text; sending the reply without a quote",
                           printable(chat));
            pacer->submit(
                chat, what, [actions, chat, reply_text, at] { actions.send_text(reply_text, chat, at); }, report);
          } else {
            pacer->submit(
                chat, what, [actions, chat, reply_text, at, id] { actions.reply_with_quote(id, reply_text, chat, at); },
                report);
          }
        };
        asio::co_spawn(loop_,
                       resolve(actions, pacer, std::move(send_data), chat, reply_text, at, pacer_report(message)),
                       log_failure("finding the quoted message"));
      }
    } else if ((type == "get_members" || type == "get_img_md5") && reads_->load() >= read_limit_) {
      // Reads are bounded like sends: a flood of them must not fill the
      // outbox with answers.
      ++counters->dropped;
      logger()->warn("{} reads under way: dropped {} {}", read_limit_, type,
                     printable(echoed(message, "request_id").dump()));
      if (auto result = result_publisher(message)) result("dropped", "too many reads under way");
      return;
    } else if (type == "get_members") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      Json record = answer_record("member_list", text_member(message, "request_id", kMaxNameBytes));
      record["chat"] = chat;
      auto read = [actions, chat]() -> asio::awaitable<Json> {
        auto members = co_await actions.member_list(chat);
        co_return members ? Json(*members) : Json(nullptr);
      };
      ++*reads_;
      asio::co_spawn(loop_, answer_read(publish, std::move(record), "members", read, reads_),
                     log_failure("reading a member list"));
    } else if (type == "get_img_md5") {
      auto content = text_member(message, "content", kMaxTextBytes);
      Json record = answer_record("img_md5", text_member(message, "request_id", kMaxNameBytes));
      record["content"] = content;
      auto read = [actions, content]() -> asio::awaitable<Json> {
        auto key = co_await actions.img_md5(content);
        co_return key && !key->empty() ? Json(*key) : Json(nullptr);
      };
      ++*reads_;
      asio::co_spawn(loop_, answer_read(publish, std::move(record), "img_md5", read, reads_),
                     log_failure("computing a picture key"));
    } else {
      throw BadMessage("unknown type \"" + type + "\"");
    }
    // Sends count once the pacer has handed them to the client; a read is
    // always answered.
    if (type == "get_members" || type == "get_img_md5") ++counters->carried_out;
  } catch (const BadMessage& e) {
    // The message came parsed within the nesting limit, so it can be
    // written out again.
    reject(e.what(), message.dump(-1, ' ', false, Json::error_handler_t::replace));
    // A request the server can tell apart is answered, so that it knows.
    if (message.is_object()) {
      if (auto result = result_publisher(message)) result("failed", std::string("not understood: ") + e.what());
    }
  }
}

}  // namespace orvanta::host

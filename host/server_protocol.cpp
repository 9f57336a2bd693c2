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
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/logger.hpp"
#include "pacer.hpp"

namespace orvanta::host {

namespace asio = boost::asio;

namespace {

// A message that cannot be carried out; the text says why.
class BadMessage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
                                  std::function<asio::awaitable<Json>()> read) {
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
  publish(record["id"].get<std::string>(), record);
}

std::string excerpt(const std::string& text) {
  constexpr std::size_t kShown = 200;
  if (text.size() <= kShown) return text;
  // Cut on a character boundary.
  std::size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
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
                               Publish publish, Acknowledge acknowledge, Forward forward)
    : loop_(loop),
      actions_(std::move(actions)),
      pacer_(std::move(pacer)),
      publish_(std::move(publish)),
      acknowledge_(std::move(acknowledge)),
      forward_(std::move(forward)) {}

void ServerProtocol::reject(const std::string& why, const std::string& text) {
  ++counters_->rejected;
  logger()->warn("server message ignored ({}): {}", why, excerpt(text));
}

void ServerProtocol::on_frame(const std::string& text) {
  ++counters_->received;
  Json message;
  try {
    message = Json::parse(text);
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
  const std::string shown = message.dump(-1, ' ', false, Json::error_handler_t::replace);
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
      pacer->submit(chat, "a text", [actions, chat, content, at] { actions.send_text(content, chat, at); });
    } else if (type == "send_private") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      auto content = text_member(message, "content", kMaxTextBytes);
      pacer->submit(chat, "a private text", [actions, chat, content] { actions.send_private(content, chat); });
    } else if (type == "reply") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      auto reply_text = text_member(message, "reply_text", kMaxTextBytes);
      auto at = optional_member(message, "at", kMaxNameBytes);
      auto msg_id = optional_member(message, "msg_id", kMaxNameBytes);
      if (msg_id) {
        pacer->submit(chat, "a quoted reply", [actions, chat, reply_text, at, id = *msg_id] {
          actions.reply_with_quote(id, reply_text, chat, at);
        });
      } else {
        Json send_data = Json::object();
        send_data["quote_content"] = text_member(message, "quote_content", kMaxTextBytes);
        send_data["content"] = optional_member(message, "content", kMaxTextBytes).value_or("");
        send_data["position"] = chat;
        auto resolve = [](ClientActions actions, std::shared_ptr<Pacer> pacer, Json send_data, std::string chat,
                          std::string reply_text, std::optional<std::string> at) -> asio::awaitable<void> {
          std::string id = co_await actions.latest_quote(send_data);
          if (id.empty()) {
            logger()->info("no stored message of {} matches the quoted text; sending the reply without a quote", chat);
            pacer->submit(chat, "a reply",
                          [actions, chat, reply_text, at] { actions.send_text(reply_text, chat, at); });
          } else {
            pacer->submit(chat, "a quoted reply",
                          [actions, chat, reply_text, at, id] { actions.reply_with_quote(id, reply_text, chat, at); });
          }
        };
        asio::co_spawn(loop_, resolve(actions, pacer, std::move(send_data), chat, reply_text, at),
                       log_failure("finding the quoted message"));
      }
    } else if (type == "get_members") {
      auto chat = text_member(message, "chat", kMaxNameBytes);
      Json record = answer_record("member_list", text_member(message, "request_id", kMaxNameBytes));
      record["chat"] = chat;
      auto read = [actions, chat]() -> asio::awaitable<Json> {
        auto members = co_await actions.member_list(chat);
        co_return members ? Json(*members) : Json(nullptr);
      };
      asio::co_spawn(loop_, answer_read(publish, std::move(record), "members", read),
                     log_failure("reading a member list"));
    } else if (type == "get_img_md5") {
      auto content = text_member(message, "content", kMaxTextBytes);
      Json record = answer_record("img_md5", text_member(message, "request_id", kMaxNameBytes));
      record["content"] = content;
      auto read = [actions, content]() -> asio::awaitable<Json> {
        auto key = co_await actions.img_md5(content);
        co_return key && !key->empty() ? Json(*key) : Json(nullptr);
      };
      asio::co_spawn(loop_, answer_read(publish, std::move(record), "img_md5", read),
                     log_failure("computing a picture key"));
    } else {
      throw BadMessage("unknown type \"" + type + "\"");
    }
    ++counters->carried_out;
  } catch (const BadMessage& e) {
    reject(e.what(), shown);
  }
}

}  // namespace orvanta::host

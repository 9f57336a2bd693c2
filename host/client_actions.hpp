#pragma once

// The client actions the host asks for on behalf of the server, as plain
// functions. In the program they are the task bridge's submissions
// (bridge_actions(), in conductor_calls.cpp); tests may put stand-ins in
// their place.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "orvanta/json.hpp"

namespace orvanta::host {

struct ClientActions {
  // Fire and forget: the text, the chat, whom to mention.
  std::function<void(std::string content, std::string who, std::optional<std::string> at)> send_text;
  std::function<void(std::string content, std::string who)> send_private;
  std::function<void(std::string msg_id, std::string reply_text, std::string chat, std::optional<std::string> at)>
      reply_with_quote;
  // Awaited on the host's loop.
  std::function<boost::asio::awaitable<std::optional<std::vector<std::string>>>(std::string chat)> member_list;
  std::function<boost::asio::awaitable<std::optional<std::string>>(std::string content)> img_md5;
  // The identifier of the stored message that a reply quotes ("" for none),
  // from {"quote_content", "content", "position"}.
  std::function<boost::asio::awaitable<std::string>(Json send_data)> latest_quote;
  // Whether the store holds the message `msg_id` of `chat`; empty: not
  // checked.
  std::function<bool(const std::string& chat, const std::string& msg_id)> knows_message;
};

// The task bridge's submissions.
ClientActions bridge_actions();

}  // namespace orvanta::host

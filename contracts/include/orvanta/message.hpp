#pragma once

// The record of a new group message handed to `deal_group_msg` and sent on to
// the group-management server.

#include <optional>
#include <string>

#include "orvanta/json.hpp"

namespace orvanta {

struct Message {
  // All twelve fields are required, in this order. `sender` and
  // `sender_number` carry the sender's remark name, absent when the window
  // message had none.
  Message(std::optional<std::string> sender, std::optional<std::string> sender_number, std::string receiver,
          std::string position, std::string sequence, std::string channel, std::string type, std::string image,
          std::string reply, std::string content, std::string origin_pic_url, std::string origin_pic_name)
      : sender(std::move(sender)),
        sender_number(std::move(sender_number)),
        receiver(std::move(receiver)),
        position(std::move(position)),
        sequence(std::move(sequence)),
        channel(std::move(channel)),
        type(std::move(type)),
        image(std::move(image)),
        reply(std::move(reply)),
        content(std::move(content)),
        origin_pic_url(std::move(origin_pic_url)),
        origin_pic_name(std::move(origin_pic_name)) {}

  std::optional<std::string> sender;
  std::optional<std::string> sender_number;
  std::string receiver;
  std::string position;
  std::string sequence;
  std::string channel;
  std::string type;
  std::string image;
  std::string reply;
  std::string content;
  std::string origin_pic_url;
  std::string origin_pic_name;

  bool operator==(const Message&) const = default;
};

// The record as a mapping, its keys in field order; an absent sender is null.
inline Json to_json(const Message& m) {
  Json j = Json::object();
  auto text = [](const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); };
  j["sender"] = text(m.sender);
  j["sender_number"] = text(m.sender_number);
  j["receiver"] = m.receiver;
  j["position"] = m.position;
  j["sequence"] = m.sequence;
  j["channel"] = m.channel;
  j["type"] = m.type;
  j["image"] = m.image;
  j["reply"] = m.reply;
  j["content"] = m.content;
  j["origin_pic_url"] = m.origin_pic_url;
  j["origin_pic_name"] = m.origin_pic_name;
  return j;
}

}  // namespace orvanta

#pragma once

// What the group-management server may ask of the assistant, and how the
// host carries it out (docs/protocol.md describes the messages).
//
// Frames from the server arrive on the host's loop. An acknowledgement of
// events goes to the event feed; every other message is parsed and handed to
// `forward` (in the program: conductor::handle_server_message, which calls
// robot::reply, which is this class's reply()). reply() checks the message
// and turns it into client actions through the task bridge: texts and quoted
// replies go through the pacer, member lists and picture keys are read and
// sent back to the server as events. A message that is not understood is
// logged with the reason and changes nothing.
//
// Thread-safety: on_frame() and reply() on the loop's thread; the counters
// from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "client_actions.hpp"
#include "orvanta/json.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

class Pacer;

// Longest text and name accepted in a server message, in bytes.
inline constexpr std::size_t kMaxTextBytes = 8192;
inline constexpr std::size_t kMaxNameBytes = 256;

class ServerProtocol {
 public:
  using Publish = std::function<void(const std::string& event_id, const Json& record)>;
  using Acknowledge = std::function<void(const std::string& event_id)>;
  using Forward = std::function<boost::asio::awaitable<void>(Json message)>;

  ServerProtocol(boost::asio::io_context& loop, ClientActions actions, std::shared_ptr<Pacer> pacer, Publish publish,
                 Acknowledge acknowledge, Forward forward);

  // One text frame from the server.
  void on_frame(const std::string& text);
  // The host's reply operation: carries out one server message.
  void reply(const Json& message);

  std::uint64_t received() const { return counters_->received; }
  std::uint64_t rejected() const { return counters_->rejected; }
  std::uint64_t carried_out() const { return counters_->carried_out; }

 private:
  struct Counters {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> rejected{0};
    std::atomic<std::uint64_t> carried_out{0};
  };

  void reject(const std::string& why, const std::string& text);

  boost::asio::io_context& loop_;
  ClientActions actions_;
  std::shared_ptr<Pacer> pacer_;
  Publish publish_;
  Acknowledge acknowledge_;
  Forward forward_;
  std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
};

}  // namespace orvanta::host

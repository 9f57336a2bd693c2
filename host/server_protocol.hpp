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
// Every request is answered: a read by its answer event, a send by a
// `request_result` event once the pacer is done with it (done, failed with
// the reason, or dropped); a request that is refused (not understood, a
// reply to an unknown message, a read beyond the bound) by a
// `request_result` at once. At most `read_limit` reads are under way at a
// time; a read beyond that is dropped.
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
#include "pacer.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

inline constexpr std::size_t kDefaultReadLimit = 100;

// Longest text and name accepted in a server message, in bytes.
inline constexpr std::size_t kMaxTextBytes = 8192;
inline constexpr std::size_t kMaxNameBytes = 256;
// Deepest nesting of arrays and objects accepted in a server frame.
inline constexpr std::size_t kMaxNesting = 64;

// At most 200 bytes of `text` (cut on a character boundary), safe to log.
std::string excerpt(const std::string& text);

class ServerProtocol {
 public:
  using Publish = std::function<void(const std::string& event_id, const Json& record)>;
  using Acknowledge = std::function<void(const std::string& event_id)>;
  using Forward = std::function<boost::asio::awaitable<void>(Json message)>;

  ServerProtocol(boost::asio::io_context& loop, ClientActions actions, std::shared_ptr<Pacer> pacer, Publish publish,
                 Acknowledge acknowledge, Forward forward, std::size_t read_limit = kDefaultReadLimit);

  // One text frame from the server.
  void on_frame(const std::string& text);
  // The host's reply operation: carries out one server message.
  void reply(const Json& message);

  std::uint64_t received() const { return counters_->received; }
  std::uint64_t rejected() const { return counters_->rejected; }
  std::uint64_t carried_out() const { return counters_->carried_out; }
  // Requests that failed, and requests dropped (send queue full, reads
  // beyond the bound, still queued at stop).
  std::uint64_t failed() const { return counters_->failed; }
  std::uint64_t dropped() const { return counters_->dropped; }

 private:
  struct Counters {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> rejected{0};
    std::atomic<std::uint64_t> carried_out{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> dropped{0};
  };

  void reject(const std::string& why, const std::string& text);
  // Publishes a `request_result` for `message`: result("done"|"failed"|
  // "dropped", reason or null). Empty when nothing is published.
  using Result = std::function<void(const std::string& result, const Json& reason)>;
  Result result_publisher(const Json& message) const;
  Pacer::Report pacer_report(const Json& message) const;

  boost::asio::io_context& loop_;
  ClientActions actions_;
  std::shared_ptr<Pacer> pacer_;
  Publish publish_;
  Acknowledge acknowledge_;
  Forward forward_;
  std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
  const std::size_t read_limit_;
  std::shared_ptr<std::atomic<std::size_t>> reads_ = std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace orvanta::host

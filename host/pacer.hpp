#pragma once

// Pacing of the messages the assistant posts in the client, so that the
// account does not look like a flood: within any `window` seconds at most
// `per_chat` messages go to one chat and at most `total` in all. Messages
// wait in a queue; each chat's messages keep their order, and a chat at its
// limit does not hold back the others. The queue is bounded; a message that
// does not fit is dropped with a logged warning.
//
// While held (listening is down: nothing could carry a message out) nothing
// is released; the queue waits. Every message ends in exactly one outcome,
// told to its `Report`: done (handed to the client), failed (the action
// raised) or dropped (the queue was full, or the pacer stopped with it still
// queued); each drop is logged with the chat and what the message was.
//
// Thread-safety: submit() and the counters may be called from any thread;
// start() and stop() on the loop's thread or before the loop runs.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

struct PacingLimits {
  std::size_t per_chat = 6;
  std::size_t total = 20;
  double window = 60.0;
  std::size_t queue_limit = 1000;
};

class Pacer {
 public:
  using Action = std::function<void()>;
  enum class Outcome { kDone, kFailed, kDropped };
  using Report = std::function<void(Outcome outcome, const std::string& reason)>;

  Pacer(boost::asio::io_context& loop, PacingLimits limits);
  ~Pacer();
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  // Queues `action`, which posts one message in `chat`; it runs on the loop
  // once the limits allow. `what` names the message in logs. Returns false
  // when the queue is full (the action is dropped, and `report` told so
  // before the return).
  bool submit(std::string chat, std::string what, Action action, Report report = {});

  void start();
  // Ends the release loop; whatever is still queued is dropped (logged and
  // reported).
  void stop();
  // Holds back (true) or lets go (false) the release of messages. Any thread.
  void hold(bool on);
  bool held() const;

  std::size_t queued() const;
  std::uint64_t released() const;
  const PacingLimits& limits() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::host

#pragma once

// What the status page shows beyond the host's own state: the last events,
// the last server requests with their results, and for each chat its counts,
// its last event and when its window was last read. The board keeps these
// from the records the host publishes; snapshot() gives them, with the
// host's state, as the page's JSON.
//
// Texts from the chat (names, messages, reasons) are kept as they came, cut
// to an excerpt; the page shows them as text only.
//
// Thread-safety: every member may be called from any thread (events come
// from the listening thread, request results from the host's loop).

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "orvanta/json.hpp"

namespace orvanta::host {

inline constexpr std::size_t kShownEvents = 100;
inline constexpr std::size_t kShownRequests = 50;

// Milliseconds since the Unix epoch, by the wall clock.
std::int64_t wall_clock_ms();

class StatusBoard {
 public:
  using Clock = std::function<std::int64_t()>;

  explicit StatusBoard(Clock now = wall_clock_ms);

  // An event record as published for the server: a group message (the
  // message's record), or a record with "event" private_message,
  // member_join, message_recall or gap.
  void event(const Json& record);
  // The answer to a server request: a "request_result" record, or the
  // answer to a read ("member_list", "img_md5"; failed when it carries an
  // "error"). Other records are left out.
  void request_answer(const Json& record);
  // The window of `chat` was read just now.
  void chat_read(const std::string& chat);

  // The page's state: {"host": host, "groups": [one row for each of
  // `groups`, in that order], "events": [newest first], "requests": [newest
  // first]}. Times are milliseconds since the Unix epoch.
  Json snapshot(Json host, const std::vector<std::string>& groups) const;

 private:
  struct ChatRow {
    std::int64_t last_read = 0;  // 0: not yet
    std::string last_kind;
    std::int64_t last_event = 0;
    std::uint64_t messages = 0;
    std::uint64_t joins = 0;
    std::uint64_t recalls = 0;
    std::uint64_t gaps = 0;
  };

  const Clock now_;
  mutable std::mutex mu_;
  std::deque<Json> events_;               // guarded by mu_; newest first
  std::deque<Json> requests_;             // guarded by mu_; newest first
  std::map<std::string, ChatRow> chats_;  // guarded by mu_
};

}  // namespace orvanta::host

#pragma once

// The host's link to the group-management server: a WebSocket client
// (ws:// or wss://) that lives on the host's event loop and is installed as
// `config.ws_client`.
//
// The link keeps itself up. A server that cannot be reached, at start or
// later, is not an error: the link tries again after a back-off that doubles
// from `initial_backoff` up to `max_backoff`; it starts over only after a
// connection that stayed up `stable_after` seconds, so that a server that
// accepts and then breaks at once is not hammered. While the link is down, send() fails at once; the
// host's outbox keeps what could not be sent.
//
// close_soon() (called by the listening thread when listening ends) closes
// the open link with a normal close frame, so that the server sees the
// assistant go offline, and keeps it closed until resume(). stop() closes it
// for good.
//
// Thread-safety: ws(), close_soon(), resume(), stop() and the counters may be
// called from any thread; start() and send() only on the loop's thread. The
// handlers are called on the loop's thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "orvanta/ws_client.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

// The parts of a ws:// or wss:// address.
struct WsUrl {
  bool tls = false;
  std::string host;
  std::string port;
  std::string target;  // path and query, "/" when the address has none

  // Raises ValueError naming the address when it is not ws:// or wss://
  // followed by a host.
  static WsUrl parse(const std::string& url);
};

struct WsLinkOptions {
  std::string url{};
  // Seconds of clock time between attempts to connect.
  double initial_backoff = 1.0;
  double max_backoff = 30.0;
  // Seconds of clock time a connection must last for the back-off to start
  // over.
  double stable_after = 60.0;
  // Seconds allowed for connecting, the TLS handshake and the WebSocket
  // handshake together.
  double connect_timeout = 10.0;
  // Seconds without any frame from the server after which the link counts as
  // dead; a ping goes out half-way through.
  double idle_timeout = 30.0;
  // Certificate authorities trusted for wss:// besides the platform's own: a
  // PEM file, checked when the link is made.
  std::optional<std::string> extra_ca_file{};
};

class WsLink final : public WsClient {
 public:
  // Called with each text frame the server sends.
  using MessageHandler = std::function<void(std::string text)>;
  // Called when the link comes up (true) or goes down (false).
  using StateHandler = std::function<void(bool up)>;

  // Raises ValueError for an address that is not ws:// or wss://, and for an
  // `extra_ca_file` that cannot be read or holds no PEM certificate.
  WsLink(boost::asio::io_context& loop, WsLinkOptions options, MessageHandler on_message, StateHandler on_state);
  ~WsLink() override;
  WsLink(const WsLink&) = delete;
  WsLink& operator=(const WsLink&) = delete;

  // Starts connecting. REQUIRES: called once.
  void start();
  // Closes the link for good; the loop may then run out.
  void stop();

  bool ws() const override;
  // Sends one text frame; frames are written one at a time in the order the
  // calls arrive. Raises OSError when the link is down or the write fails.
  boost::asio::awaitable<void> send(std::string text) override;
  void close_soon() override;
  // Lets a link closed by close_soon() connect again.
  void resume();

  // Connections made so far.
  std::uint64_t connects() const;
  // Binary frames received (and ignored).
  std::uint64_t binary_frames() const;
  // The back-off, in seconds, of the latest wait before reconnecting.
  double last_backoff() const;
  const std::string& url() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::host

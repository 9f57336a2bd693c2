#pragma once

// The host's connection to the group-management server, `config.ws_client`.
// The connection runs on the host's event loop; the system sends through it
// from that loop and, when listening ends, asks it to close its link there.

#include <string>

#include <boost/asio/awaitable.hpp>

#include "orvanta/visibility.hpp"

namespace orvanta {

class ORVANTA_INTERFACE WsClient {
 public:
  virtual ~WsClient() = default;

  // Whether the link to the server (`ws`) is open.
  virtual bool ws() const = 0;

  // Sends one text frame. REQUIRES: awaited on the connection's own loop.
  virtual boost::asio::awaitable<void> send(std::string text) = 0;

  // Submits the closing of the open link to the connection's own loop and
  // returns at once, without waiting for it. Callable from any thread.
  virtual void close_soon() = 0;
};

}  // namespace orvanta

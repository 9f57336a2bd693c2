#pragma once

// A small HTTP server for the host's own needs: the monitoring endpoint
// (/healthz, /metrics, the status page) and, on the built-in demo, the group
// list. It answers GET requests through one routing function, one request
// per connection, and keeps event streams (Server-Sent Events) open on the
// paths given to add_stream().
//
// Every answer forbids the browser to sniff its type and carries a
// Content-Security-Policy that allows scripts, styles and connections from
// the server itself only (no inline script, no outside fetch).
//
// Thread-safety: add_stream() before start(); start() and stop() on the
// loop's thread; port() anywhere.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

struct HttpAnswer {
  int status = 404;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body = "not found\n";
};

// The policy every answer carries.
inline constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The address the server listens on unless told otherwise.
inline constexpr const char* kLoopbackAddress = "127.0.0.1";

// One Server-Sent Event carrying `data`: a "data:" line for each of its
// lines (a bare "\r", "\n" or "\r\n" ends a line), then an empty line.
std::string sse_frame(std::string_view data);

// Whether `address` (an IPv4 or IPv6 literal) is a loopback address; false
// when it is not an address.
bool is_loopback_address(const std::string& address);

class LocalHttpServer {
 public:
  // Gives the answer to a GET of `target` (path and query).
  using Route = std::function<HttpAnswer(const std::string& target)>;
  // The current state to stream, as one line of text (JSON).
  using Snapshot = std::function<std::string()>;

  // Listens on `address`:`port` (0: any free port). Raises OSError when the
  // port cannot be had, ValueError when `address` is not an IP address.
  LocalHttpServer(boost::asio::io_context& loop, unsigned short port, Route route,
                  const std::string& address = kLoopbackAddress);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  // A GET of `path` (the query is ignored) opens an event stream: the
  // snapshot at once, then again whenever it has changed, looked at every
  // `interval_ms`; a comment line now and then while nothing changes. At
  // most a few streams are open at a time; beyond that the request is
  // answered 503. On stop() each stream gets a last event "stopped" and is
  // closed.
  void add_stream(std::string path, Snapshot snapshot, int interval_ms = 1000);

  void start();
  void stop();
  unsigned short port() const;
  // "http://<address>:<port>".
  std::string base_url() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::host

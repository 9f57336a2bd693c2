#pragma once

// A small HTTP server on 127.0.0.1 for the host's own needs: the monitoring
// endpoint (/healthz, /metrics) and, on the built-in demo, the group list.
// It answers GET requests through one routing function, one request per
// connection.
//
// Thread-safety: start() and stop() on the loop's thread; port() anywhere.

#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace orvanta::host {

struct HttpAnswer {
  int status = 404;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body = "not found\n";
};

class LocalHttpServer {
 public:
  // Gives the answer to a GET of `target` (path and query).
  using Route = std::function<HttpAnswer(const std::string& target)>;

  // Listens on 127.0.0.1:`port` (0: any free port). Raises OSError when the
  // port cannot be had.
  LocalHttpServer(boost::asio::io_context& loop, unsigned short port, Route route);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  void start();
  void stop();
  unsigned short port() const;
  // "http://127.0.0.1:<port>".
  std::string base_url() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::host

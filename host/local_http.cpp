// The host's local HTTP server over Beast.

#include "local_http.hpp"

#include <chrono>
#include <exception>
#include <set>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "log_failure.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Streams open at a time; a page left open in a few tabs is fine, a
// runaway client is not.
constexpr std::size_t kMaxStreams = 8;
// A comment line after this long without an event keeps proxies and the
// browser from taking the stream for dead.
constexpr auto kStreamIdle = std::chrono::seconds(15);
// A client that does not take a write in this time is dropped.
constexpr auto kWriteTimeout = std::chrono::seconds(10);

std::string path_of(const std::string& target) {
  return target.substr(0, target.find('?'));
}

}  // namespace

std::string sse_frame(std::string_view data) {
  std::string out;
  out.reserve(data.size() + 16);
  std::size_t start = 0;
  for (;;) {
    const auto end = data.find_first_of("\r\n", start);
    out += "data: ";
    out += data.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
    if (data[end] == '\r' && start < data.size() && data[start] == '\n') ++start;
  }
  out += '\n';
  return out;
}

bool is_loopback_address(const std::string& address) {
  boost::system::error_code ec;
  const auto a = asio::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

struct LocalHttpServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& loop, Route r) : acceptor(loop), route(std::move(r)) {}

  struct Stream {
    std::string path;
    Snapshot snapshot;
    std::chrono::milliseconds interval;
  };

  tcp::acceptor acceptor;
  Route route;
  std::vector<Stream> streams;
  // The wake-up timers of the open streams; stop() cancels them.
  std::set<std::shared_ptr<asio::steady_timer>> open_streams;
  bool stopped = false;
  std::string host;
  unsigned short port = 0;

  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      asio::co_spawn(acceptor.get_executor(), serve(shared_from_this(), beast::tcp_stream(std::move(socket))),
                     log_failure("answering a local HTTP request"));
    }
  }

  static void set_common_fields(http::response<http::string_body>& response) {
    response.set(http::field::server, "orvanta");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Content-Security-Policy", kContentSecurityPolicy);
  }

  const Stream* stream_at(const std::string& target) const {
    const std::string path = path_of(target);
    for (const auto& s : streams)
      if (s.path == path) return &s;
    return nullptr;
  }

  static asio::awaitable<void> serve(std::shared_ptr<Impl> self, beast::tcp_stream stream) {
    // A client that does not send its request in time is dropped.
    stream.expires_after(std::chrono::seconds(10));
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    auto [ec, n] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    const std::string target(request.target());
    if (request.method() == http::verb::get && !self->stopped && self->open_streams.size() < kMaxStreams) {
      if (const Stream* source = self->stream_at(target)) {
        co_await push_events(self, std::move(stream), *source);
        co_return;
      }
    }
    http::response<http::string_body> response;
    response.version(request.version());
    response.keep_alive(false);
    set_common_fields(response);
    if (request.method() != http::verb::get) {
      response.result(http::status::method_not_allowed);
      response.body() = "GET only\n";
    } else if (self->stream_at(target)) {
      response.result(http::status::service_unavailable);
      response.body() = self->stopped ? "stopped\n" : "too many open streams\n";
    } else {
      HttpAnswer answer;
      try {
        answer = self->route(target);
      } catch (const std::exception& e) {
        answer = HttpAnswer{500, "text/plain; charset=utf-8", std::string(e.what()) + "\n"};
      }
      response.result(static_cast<http::status>(answer.status));
      response.set(http::field::content_type, answer.content_type);
      response.body() = std::move(answer.body);
    }
    response.prepare_payload();
    co_await http::async_write(stream, response, asio::as_tuple(asio::use_awaitable));
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  }

  // Writes `text`; false when the client is gone or too slow.
  static asio::awaitable<bool> write_text(beast::tcp_stream& stream, const std::string& text) {
    stream.expires_after(kWriteTimeout);
    auto [ec, n] = co_await asio::async_write(stream, asio::buffer(text), asio::as_tuple(asio::use_awaitable));
    stream.expires_never();
    co_return !ec;
  }

  // The event stream: the body runs until the connection closes, so the
  // answer's head is written as it is, without a length.
  static asio::awaitable<void> push_events(std::shared_ptr<Impl> self, beast::tcp_stream stream, Stream source) {
    stream.expires_never();
    auto timer = std::make_shared<asio::steady_timer>(self->acceptor.get_executor());
    self->open_streams.insert(timer);
    struct Forget {
      std::shared_ptr<Impl> self;
      std::shared_ptr<asio::steady_timer> timer;
      ~Forget() { self->open_streams.erase(timer); }
    } forget{self, timer};

    const std::string head = std::string(
                                 "HTTP/1.1 200 OK\r\n"
                                 "Content-Type: text/event-stream; charset=utf-8\r\n"
                                 "Cache-Control: no-store\r\n"
                                 "Connection: close\r\n"
                                 "Server: orvanta\r\n"
                                 "X-Content-Type-Options: nosniff\r\n"
                                 "Content-Security-Policy: ") +
                             kContentSecurityPolicy +
                             "\r\n\r\n"
                             // How long the browser waits before it tries again.
                             "retry: 2000\n\n";
    if (!co_await write_text(stream, head)) co_return;
    std::string last;
    auto last_write = std::chrono::steady_clock::now();
    while (!self->stopped) {
      std::string current = source.snapshot();
      std::string frame;
      if (current != last) {
        frame = sse_frame(current);
        last = std::move(current);
      } else if (std::chrono::steady_clock::now() - last_write >= kStreamIdle) {
        frame = ":\n\n";
      }
      if (!frame.empty()) {
        if (!co_await write_text(stream, frame)) co_return;
        last_write = std::chrono::steady_clock::now();
      }
      timer->expires_after(source.interval);
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    }
    co_await write_text(stream, "event: stopped\ndata: stopped\n\n");
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  }
};

LocalHttpServer::LocalHttpServer(asio::io_context& loop, unsigned short port, Route route, const std::string& address)
    : impl_(std::make_shared<Impl>(loop, std::move(route))) {
  boost::system::error_code bad;
  const auto ip = asio::ip::make_address(address, bad);
  if (bad) throw ValueError("not an IP address: " + address);
  try {
    tcp::endpoint endpoint(ip, port);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw OSError("cannot listen on " + address + ":" + std::to_string(port) + ": " + e.what());
  }
  impl_->host = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
}

LocalHttpServer::~LocalHttpServer() = default;

void LocalHttpServer::add_stream(std::string path, Snapshot snapshot, int interval_ms) {
  impl_->streams.push_back(Impl::Stream{std::move(path), std::move(snapshot), std::chrono::milliseconds(interval_ms)});
}

void LocalHttpServer::start() {
  asio::co_spawn(
      impl_->acceptor.get_executor(), [impl = impl_]() { return impl->accept_loop(); },
      log_failure("the local HTTP server"));
}

void LocalHttpServer::stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->stopped = true;
  for (const auto& timer : impl_->open_streams) timer->cancel();
}

unsigned short LocalHttpServer::port() const {
  return impl_->port;
}

std::string LocalHttpServer::base_url() const {
  return "http://" + impl_->host + ":" + std::to_string(impl_->port);
}

}  // namespace orvanta::host

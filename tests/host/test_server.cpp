#include "host/test_server.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace orvanta::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

class Conn {
 public:
  virtual ~Conn() = default;
  virtual void send(std::string text, bool binary = false) = 0;
  virtual void drop() = 0;
};

template <class Next>
class WsConn final : public Conn, public std::enable_shared_from_this<WsConn<Next>> {
 public:
  explicit WsConn(Next next) : ws(std::move(next)) {}

  void send(std::string text, bool binary = false) override {
    out_.push_back({std::move(text), binary});
    if (writing_) return;
    writing_ = true;
    asio::co_spawn(ws.get_executor(), write_all(this->shared_from_this()), asio::detached);
  }
  void drop() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws).socket().close(ignored);
  }

  websocket::stream<Next> ws;

 private:
  static asio::awaitable<void> write_all(std::shared_ptr<WsConn> self) {
    while (!self->out_.empty()) {
      auto [text, binary] = std::move(self->out_.front());
      self->out_.pop_front();
      self->ws.binary(binary);
      auto [ec, n] = co_await self->ws.async_write(asio::buffer(text), asio::as_tuple(asio::use_awaitable));
      if (ec) break;
    }
    self->out_.clear();
    self->writing_ = false;
  }

  std::deque<std::pair<std::string, bool>> out_;
  bool writing_ = false;
};

}  // namespace

struct TestServer::Impl {
  explicit Impl(Options o) : options(std::move(o)), acknowledge(options.acknowledge) {
    if (!options.cert_pem.empty()) {
      tls.emplace(asio::ssl::context::tls_server);
      tls->use_certificate_chain(asio::buffer(options.cert_pem));
      tls->use_private_key(asio::buffer(options.key_pem), asio::ssl::context::pem);
    }
  }

  Options options;
  // Declared before the loop, so that connections still held by the loop's
  // handlers go before the context.
  std::optional<asio::ssl::context> tls;
  asio::io_context ioc;
  std::thread thread;
  unsigned short port = 0;
  std::atomic<bool> acknowledge;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::vector<std::string> frames;
  std::vector<std::string> targets;
  int connections = 0;
  int closed_by_client = 0;

  // Loop thread only.
  std::shared_ptr<tcp::acceptor> acceptor;
  std::set<std::shared_ptr<Conn>> conns;

  // Listens on `port` (any free one the first time); false when the port is
  // taken at the moment.
  bool listen() {
    auto a = std::make_shared<tcp::acceptor>(ioc);
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    boost::system::error_code ec;
    a->open(endpoint.protocol(), ec);
    if (!ec) a->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) a->bind(endpoint, ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return false;
    acceptor = a;
    port = acceptor->local_endpoint().port();
    asio::co_spawn(ioc, accept_loop(acceptor), asio::detached);
    return true;
  }

  asio::awaitable<void> accept_loop(std::shared_ptr<tcp::acceptor> a) {
    for (;;) {
      auto [ec, socket] = co_await a->async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      {
        std::lock_guard guard(mu);
        ++connections;
      }
      cv.notify_all();
      if (tls) {
        asio::co_spawn(ioc, serve_tls(std::move(socket)), asio::detached);
      } else {
        asio::co_spawn(ioc, serve(beast::tcp_stream(std::move(socket))), asio::detached);
      }
    }
  }

  asio::awaitable<void> serve_tls(tcp::socket socket) {
    beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *tls);
    auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    co_await serve(std::move(stream));
  }

  template <class Stream>
  asio::awaitable<void> serve(Stream stream) {
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    auto [ec, n] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    if (!websocket::is_upgrade(request)) {
      {
        std::lock_guard guard(mu);
        targets.push_back(std::string(request.target()));
      }
      http::response<http::string_body> response(http::status::ok, request.version());
      response.set(http::field::content_type, "application/json");
      response.body() = options.group_list;
      response.prepare_payload();
      response.keep_alive(false);
      co_await http::async_write(stream, response, asio::as_tuple(asio::use_awaitable));
      beast::error_code ignored;
      beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_both, ignored);
      co_return;
    }
    auto conn = std::make_shared<WsConn<Stream>>(std::move(stream));
    auto [accept_ec] = co_await conn->ws.async_accept(request, asio::as_tuple(asio::use_awaitable));
    if (accept_ec) co_return;
    if (options.drop_after_handshake) {
      conn->drop();
      co_return;
    }
    conns.insert(conn);
    for (;;) {
      beast::flat_buffer frame;
      auto [read_ec, bytes] = co_await conn->ws.async_read(frame, asio::as_tuple(asio::use_awaitable));
      if (read_ec) {
        if (read_ec == websocket::error::closed) {
          std::lock_guard guard(mu);
          ++closed_by_client;
        }
        cv.notify_all();
        break;
      }
      std::string text = beast::buffers_to_string(frame.data());
      // Decided before the frame is visible to the test, so that a test that
      // turns acknowledgements on after seeing a frame does not get that
      // frame acknowledged.
      const bool ack = acknowledge;
      {
        std::lock_guard guard(mu);
        frames.push_back(text);
      }
      cv.notify_all();
      if (ack) {
        Json j = Json::parse(text, nullptr, false);
        std::string id;
        if (j.is_object() && j.contains("event_id") && j["event_id"].is_string())
          id = j["event_id"];
        else if (j.is_object() && j.contains("id") && j["id"].is_string())
          id = j["id"];
        else if (j.is_object() && j.contains("sequence") && j["sequence"].is_string())
          id = j["sequence"];
        if (!id.empty()) conn->send(Json{{"type", "ack"}, {"id", id}}.dump());
      }
    }
    conns.erase(conn);
  }

  // Runs `fn` on the loop and waits for it.
  void on_loop(std::function<void()> fn) {
    std::promise<void> done;
    asio::post(ioc, [&] {
      fn();
      done.set_value();
    });
    done.get_future().wait();
  }
};

TestServer::TestServer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  // A port below the range the system hands out for outgoing connections:
  // with an ephemeral port, a client that keeps reconnecting while the server
  // is away can be given that very port for its own end and connect to
  // itself, and the port then stays taken for a minute.
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> below_ephemeral(20000, 32000);
  for (int attempt = 0; attempt < 100; ++attempt) {
    impl_->port = static_cast<unsigned short>(below_ephemeral(random));
    if (impl_->listen()) break;
  }
  if (!impl_->acceptor) throw std::runtime_error("test server: cannot listen");
  impl_->thread = std::thread([impl = impl_.get()] {
    auto work = asio::make_work_guard(impl->ioc);
    impl->ioc.run();
  });
}

TestServer::~TestServer() {
  impl_->on_loop([impl = impl_.get()] {
    if (impl->acceptor) impl->acceptor->close();
    for (auto& c : impl->conns) c->drop();
    impl->conns.clear();
  });
  impl_->ioc.stop();
  impl_->thread.join();
}

unsigned short TestServer::port() const {
  return impl_->port;
}

std::string TestServer::ws_url() const {
  return std::string(impl_->tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(impl_->port) + "/ws";
}

std::string TestServer::group_list_url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/groups/";
}

std::vector<std::string> TestServer::frames() const {
  std::lock_guard guard(impl_->mu);
  return impl_->frames;
}

bool TestServer::wait_until(const std::function<bool(const std::vector<std::string>&)>& pred,
                            std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] { return pred(impl_->frames); });
}

bool TestServer::wait_for_frames(std::size_t n) const {
  return wait_until([n](const auto& f) { return f.size() >= n; });
}

bool TestServer::wait_for_connections(int n) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, std::chrono::seconds(20), [&] { return impl_->connections >= n; });
}

void TestServer::push(const std::string& text) {
  impl_->on_loop([impl = impl_.get(), text] {
    for (auto& c : impl->conns) c->send(text);
  });
}

void TestServer::push_binary(const std::string& bytes) {
  impl_->on_loop([impl = impl_.get(), bytes] {
    for (auto& c : impl->conns) c->send(bytes, true);
  });
}

void TestServer::set_acknowledge(bool on) {
  impl_->acknowledge = on;
}

void TestServer::go_down() {
  impl_->on_loop([impl = impl_.get()] {
    impl->acceptor->close();
    for (auto& c : impl->conns) c->drop();
    impl->conns.clear();
  });
}

void TestServer::go_up() {
  // The port may be held for a moment (by a connection attempt of the client
  // that happened to get it as its own port); try again for a while.
  for (int attempt = 0; attempt < 200; ++attempt) {
    bool listening = false;
    impl_->on_loop([&] { listening = impl_->listen(); });
    if (listening) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("test server: cannot listen again on port " + std::to_string(impl_->port));
}

int TestServer::connections() const {
  std::lock_guard guard(impl_->mu);
  return impl_->connections;
}

int TestServer::closed_by_client() const {
  std::lock_guard guard(impl_->mu);
  return impl_->closed_by_client;
}

std::vector<std::string> TestServer::http_targets() const {
  std::lock_guard guard(impl_->mu);
  return impl_->targets;
}

std::vector<Json> events_of(const std::vector<std::string>& frames, const std::string& event) {
  std::vector<Json> out;
  for (const auto& f : frames) {
    Json j = Json::parse(f, nullptr, false);
    if (!j.is_object()) continue;
    if (j.contains("event") ? j["event"] == event : event == "group_message") out.push_back(j);
  }
  return out;
}

}  // namespace orvanta::testing

// The host's local HTTP server over Beast.

#include "local_http.hpp"

#include <chrono>
#include <exception>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "log_failure.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct LocalHttpServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& loop, Route r) : acceptor(loop), route(std::move(r)) {}

  tcp::acceptor acceptor;
  Route route;
  unsigned short port = 0;

  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      asio::co_spawn(acceptor.get_executor(), serve(shared_from_this(), beast::tcp_stream(std::move(socket))),
                     log_failure("answering a local HTTP request"));
    }
  }

  static asio::awaitable<void> serve(std::shared_ptr<Impl> self, beast::tcp_stream stream) {
    // A client that does not send its request in time is dropped.
    stream.expires_after(std::chrono::seconds(10));
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    auto [ec, n] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    http::response<http::string_body> response;
    response.version(request.version());
    response.keep_alive(false);
    response.set(http::field::server, "orvanta");
    if (request.method() != http::verb::get) {
      response.result(http::status::method_not_allowed);
      response.body() = "GET only\n";
    } else {
      HttpAnswer answer;
      try {
        answer = self->route(std::string(request.target()));
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
};

LocalHttpServer::LocalHttpServer(asio::io_context& loop, unsigned short port, Route route)
    : impl_(std::make_shared<Impl>(loop, std::move(route))) {
  try {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw OSError("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + e.what());
  }
}

LocalHttpServer::~LocalHttpServer() = default;

void LocalHttpServer::start() {
  asio::co_spawn(
      impl_->acceptor.get_executor(), [impl = impl_]() { return impl->accept_loop(); },
      log_failure("the local HTTP server"));
}

void LocalHttpServer::stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

unsigned short LocalHttpServer::port() const {
  return impl_->port;
}

std::string LocalHttpServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

}  // namespace orvanta::host

#include "orvanta/sim/group_list_server.hpp"

#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

constexpr const char* kPathPrefix = "/listening_groups/";
// A request head longer than this is not a request of the system's.
constexpr std::size_t kMaxHead = 64 * 1024;

std::string percent_decode(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string reason_of(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string response(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

struct GroupListServer::Impl {
  Impl(std::shared_ptr<SimClient> c, unsigned short wanted_port) : client(std::move(c)), acceptor(loop) {
    try {
      tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), wanted_port);
      acceptor.open(endpoint.protocol());
      acceptor.set_option(tcp::acceptor::reuse_address(true));
      acceptor.bind(endpoint);
      acceptor.listen();
      port = acceptor.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
      throw OSError(std::string("group list server: cannot listen: ") + e.what());
    }
    asio::co_spawn(loop, accept_loop(), asio::detached);
    thread = std::thread([this] { loop.run(); });
  }

  ~Impl() {
    loop.stop();
    thread.join();
  }

  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      asio::co_spawn(loop, serve(std::move(socket)), asio::detached);
    }
  }

  // The answer for one request target; nothing: close without answering.
  std::optional<std::string> answer(const std::string& target) {
    if (!target.starts_with(kPathPrefix)) return response(404, R"({"code": 404, "data": []})");
    std::string account = percent_decode(target.substr(std::string(kPathPrefix).size()));
    {
      std::lock_guard guard(mu);
      asked.push_back(account);
    }
    GroupList list = client->group_list();
    if (account != list.account) return response(404, R"({"code": 404, "data": []})");
    if (list.drop_connection) return std::nullopt;
    if (list.body) return response(list.http_status, *list.body);
    Json body = Json::object();
    body["code"] = list.code;
    body["data"] = list.data;
    return response(list.http_status, body.dump());
  }

  asio::awaitable<void> serve(tcp::socket socket) {
    std::string input;
    auto [read_ec, head_size] = co_await asio::async_read_until(socket, asio::dynamic_buffer(input, kMaxHead),
                                                                "\r\n\r\n", asio::as_tuple(asio::use_awaitable));
    if (read_ec) co_return;
    // Request line: "GET <target> HTTP/1.1".
    std::string line = input.substr(0, input.find("\r\n"));
    auto first = line.find(' ');
    auto last = line.rfind(' ');
    std::optional<std::string> out;
    if (first == std::string::npos || last <= first || line.substr(0, first) != "GET") {
      out = response(400, R"({"code": 400, "data": []})");
    } else {
      out = answer(line.substr(first + 1, last - first - 1));
    }
    if (!out) co_return;  // the socket closes unanswered
    co_await asio::async_write(socket, asio::buffer(*out), asio::as_tuple(asio::use_awaitable));
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
  }

  const std::shared_ptr<SimClient> client;
  asio::io_context loop;
  tcp::acceptor acceptor;
  unsigned short port = 0;
  std::thread thread;
  mutable std::mutex mu;
  std::vector<std::string> asked;  // guarded by mu
};

GroupListServer::GroupListServer(std::shared_ptr<SimClient> client, unsigned short port)
    : impl_(std::make_unique<Impl>(std::move(client), port)) {}

GroupListServer::~GroupListServer() = default;

unsigned short GroupListServer::port() const {
  return impl_->port;
}

std::string GroupListServer::url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + kPathPrefix;
}

std::vector<std::string> GroupListServer::requests() const {
  std::lock_guard guard(impl_->mu);
  return impl_->asked;
}

}  // namespace orvanta::sim

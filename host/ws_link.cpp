// The server link over Boost.Beast: one connection loop on the host's event
// loop that connects, reads frames until the link fails, and waits out a
// back-off before the next attempt.

#include "ws_link.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

WsUrl WsUrl::parse(const std::string& url) {
  WsUrl u;
  std::string rest;
  if (url.rfind("ws://", 0) == 0) {
    rest = url.substr(5);
  } else if (url.rfind("wss://", 0) == 0) {
    u.tls = true;
    rest = url.substr(6);
  } else {
    throw ValueError("server address '" + url + "' is not a ws:// or wss:// address");
  }
  const auto slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  u.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (u.target.front() == '?') u.target.insert(0, "/");
  if (authority.find('@') != std::string::npos)
    throw ValueError("server address '" + url + "' must not carry user information");
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) throw ValueError("server address '" + url + "' has an unclosed '['");
    u.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') throw ValueError("server address '" + url + "' is malformed");
      u.port = authority.substr(close + 2);
    }
  } else if (const auto colon = authority.rfind(':'); colon != std::string::npos) {
    u.host = authority.substr(0, colon);
    u.port = authority.substr(colon + 1);
  } else {
    u.host = authority;
  }
  if (u.host.empty()) throw ValueError("server address '" + url + "' names no host");
  if (u.port.empty()) u.port = u.tls ? "443" : "80";
  if (u.port.find_first_not_of("0123456789") != std::string::npos || u.port.size() > 5 || std::stoi(u.port) == 0 ||
      std::stoi(u.port) > 65535)
    throw ValueError("server address '" + url + "' has a bad port");
  return u;
}

namespace {

// Largest frame accepted from the server; a larger one ends the connection.
constexpr std::size_t kMaxFrameBytes = 1 << 20;

// One open WebSocket connection, plain or over TLS.
class Session {
 public:
  virtual ~Session() = default;
  virtual asio::awaitable<void> write(const std::string& text) = 0;
  // One frame; `text` tells whether it was a text frame.
  virtual asio::awaitable<std::string> read(bool& text) = 0;
  virtual asio::awaitable<void> close() = 0;
  // Drops the connection at once.
  virtual void abort() = 0;
};

template <class Next>
class WsSession final : public Session {
 public:
  template <class... Args>
  explicit WsSession(Args&&... args) : ws(std::forward<Args>(args)...) {}

  asio::awaitable<void> write(const std::string& text) override {
    ws.text(true);
    co_await ws.async_write(asio::buffer(text), asio::use_awaitable);
  }
  asio::awaitable<std::string> read(bool& text) override {
    beast::flat_buffer buffer;
    co_await ws.async_read(buffer, asio::use_awaitable);
    text = ws.got_text();
    co_return beast::buffers_to_string(buffer.data());
  }
  asio::awaitable<void> close() override {
    co_await ws.async_close(websocket::close_code::normal, asio::use_awaitable);
  }
  void abort() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
  }

  websocket::stream<Next> ws;
};

using PlainSession = WsSession<beast::tcp_stream>;
using TlsSession = WsSession<beast::ssl_stream<beast::tcp_stream>>;

std::chrono::steady_clock::duration seconds_of(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

template <class Next>
asio::awaitable<void> websocket_handshake(websocket::stream<Next>& ws, const WsUrl& url, const WsLinkOptions& options) {
  // From here on the WebSocket's own timeouts watch the connection.
  beast::get_lowest_layer(ws).expires_never();
  websocket::stream_base::timeout timeouts;
  timeouts.handshake_timeout = seconds_of(options.connect_timeout);
  timeouts.idle_timeout = seconds_of(options.idle_timeout);
  timeouts.keep_alive_pings = true;
  ws.set_option(timeouts);
  ws.set_option(websocket::stream_base::decorator(
      [](websocket::request_type& request) { request.set(beast::http::field::user_agent, "orvanta"); }));
  ws.read_message_max(kMaxFrameBytes);
  co_await ws.async_handshake(url.host + ":" + url.port, url.target, asio::use_awaitable);
}

double clock_seconds() {
  return std::chrono::duration<double>(timing::MonotonicClock::now().time_since_epoch()).count();
}

// The text of a link failure as a person reads it: the system's message
// without the source location Boost appends to what().
std::string failure_text(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const boost::system::system_error& x) {
    return x.code().message();
  } catch (...) {
  }
  return error_text(e);
}

// A TLS handshake that failed, with the reason the certificate was refused
// when it was.
class TlsFailure : public OSError {
 public:
  using OSError::OSError;
};

// Checks that `path` holds at least one PEM certificate; raises ValueError
// naming the file otherwise.
void check_ca_file(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), &BIO_free);
  if (!bio) throw ValueError("cannot read the certificate authorities file " + path);
  std::unique_ptr<STACK_OF(X509_INFO), void (*)(STACK_OF(X509_INFO)*)> infos(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr),
      [](STACK_OF(X509_INFO) * s) { sk_X509_INFO_pop_free(s, X509_INFO_free); });
  int certificates = 0;
  if (infos) {
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i)
      if (sk_X509_INFO_value(infos.get(), i)->x509) ++certificates;
  }
  ERR_clear_error();
  if (certificates == 0) throw ValueError("the certificate authorities file " + path + " holds no PEM certificate");
}

// The TLS client context, complete (trusted authorities and verification)
// before anyone can use it.
std::shared_ptr<asio::ssl::context> make_tls_context(const WsLinkOptions& options) {
  auto tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  tls->set_default_verify_paths();
  if (options.extra_ca_file) {
    check_ca_file(*options.extra_ca_file);
    boost::system::error_code ec;
    tls->load_verify_file(*options.extra_ca_file, ec);
    if (ec)
      throw ValueError("cannot use the certificate authorities in " + *options.extra_ca_file + ": " + ec.message());
  }
  tls->set_verify_mode(asio::ssl::verify_peer);
  return tls;
}

bool is_ip_address(const std::string& host) {
  boost::system::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

// Only one write (text frame or close) may be under way on a WebSocket at a
// time; writers queue here in arrival order. Lives on the loop's thread.
class WriteGate {
 public:
  asio::awaitable<void> acquire() {
    if (!busy_) {
      busy_ = true;
      co_return;
    }
    auto waiter = std::make_shared<Waiter>(co_await asio::this_coro::executor);
    waiters_.push_back(waiter);
    co_await waiter->timer.async_wait(asio::as_tuple(asio::use_awaitable));
    if (!waiter->granted) {
      std::erase(waiters_, waiter);
      throw boost::system::system_error(asio::error::operation_aborted);
    }
  }
  void release() {
    if (waiters_.empty()) {
      busy_ = false;
      return;
    }
    auto next = waiters_.front();
    waiters_.pop_front();
    next->granted = true;
    next->timer.cancel();
  }

 private:
  struct Waiter {
    explicit Waiter(asio::any_io_executor ex) : timer(ex, asio::steady_timer::time_point::max()) {}
    asio::steady_timer timer;
    bool granted = false;
  };
  bool busy_ = false;
  std::deque<std::shared_ptr<Waiter>> waiters_;
};

class GateHold {
 public:
  explicit GateHold(WriteGate& gate) : gate_(gate) {}
  ~GateHold() { gate_.release(); }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;

 private:
  WriteGate& gate_;
};

}  // namespace

struct WsLink::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& l, WsLinkOptions o, MessageHandler m, StateHandler s)
      : loop(l),
        options(std::move(o)),
        url(WsUrl::parse(options.url)),
        on_message(std::move(m)),
        on_state(std::move(s)),
        wake(l, asio::steady_timer::time_point::max()) {
    // A wss:// link, or trusted authorities given: the file is checked now,
    // so that a bad one stops the start rather than weakening a connection.
    if (url.tls || options.extra_ca_file) tls = make_tls_context(options);
  }

  asio::io_context& loop;
  WsLinkOptions options;
  WsUrl url;
  MessageHandler on_message;
  StateHandler on_state;
  std::atomic<bool> open{false};
  std::atomic<std::uint64_t> connects{0};
  std::atomic<std::uint64_t> binary_frames{0};
  std::atomic<double> last_backoff{0};

  // Touched on the loop's thread only.
  bool stopped = false;
  bool parked = false;
  std::shared_ptr<Session> session;
  // Made whole in the constructor and never changed after.
  std::shared_ptr<asio::ssl::context> tls;
  asio::steady_timer wake;
  WriteGate gate;

  asio::awaitable<std::shared_ptr<Session>> connect() {
    auto ex = co_await asio::this_coro::executor;
    tcp::resolver resolver(ex);
    auto endpoints = co_await resolver.async_resolve(url.host, url.port, asio::use_awaitable);
    if (!url.tls) {
      auto s = std::make_shared<PlainSession>(ex);
      beast::get_lowest_layer(s->ws).expires_after(seconds_of(options.connect_timeout));
      co_await beast::get_lowest_layer(s->ws).async_connect(endpoints, asio::use_awaitable);
      co_await websocket_handshake(s->ws, url, options);
      co_return s;
    }
    auto s = std::make_shared<TlsSession>(ex, *tls);
    auto& layer = beast::get_lowest_layer(s->ws);
    layer.expires_after(seconds_of(options.connect_timeout));
    co_await layer.async_connect(endpoints, asio::use_awaitable);
    auto& tls_stream = s->ws.next_layer();
    if (!is_ip_address(url.host) && !SSL_set_tlsext_host_name(tls_stream.native_handle(), url.host.c_str()))
      throw OSError("cannot set the TLS server name " + url.host);
    // Why the certificate was refused, for the log.
    auto refused = std::make_shared<std::string>();
    tls_stream.set_verify_callback([check = asio::ssl::host_name_verification(url.host), refused, host = url.host](
                                       bool preverified, asio::ssl::verify_context& ctx) mutable {
      if (!preverified) {
        if (refused->empty()) *refused = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.native_handle()));
        return false;
      }
      if (!check(preverified, ctx)) {
        if (refused->empty()) *refused = "the certificate is not for " + host;
        return false;
      }
      return true;
    });
    auto [ec] =
        co_await tls_stream.async_handshake(asio::ssl::stream_base::client, asio::as_tuple(asio::use_awaitable));
    if (ec) {
      throw TlsFailure("TLS handshake with " + url.host +
                       " failed: " + (refused->empty() ? ec.message() : "certificate refused: " + *refused));
    }
    co_await websocket_handshake(s->ws, url, options);
    co_return s;
  }

  // Waits `seconds` of clock time, or less when woken.
  asio::awaitable<void> pause(double seconds) {
    wake.expires_at(asio::steady_timer::time_point::max());
    co_await (timing::async_sleep(seconds) || wake.async_wait(asio::as_tuple(asio::use_awaitable)));
  }

  asio::awaitable<void> wait_for_wake() {
    wake.expires_at(asio::steady_timer::time_point::max());
    co_await wake.async_wait(asio::as_tuple(asio::use_awaitable));
  }

  asio::awaitable<void> run() {
    double backoff = options.initial_backoff;
    while (!stopped) {
      if (parked) {
        co_await wait_for_wake();
        continue;
      }
      std::exception_ptr failure;
      bool was_up = false;
      double up_at = 0;
      try {
        auto s = co_await connect();
        if (stopped || parked) {
          co_await close_session(s);
          continue;
        }
        session = s;
        open = true;
        was_up = true;
        up_at = clock_seconds();
        ++connects;
        logger()->info("server link up: {}", options.url);
        if (on_state) on_state(true);
        for (;;) {
          bool is_text = true;
          std::string text = co_await s->read(is_text);
          if (!is_text) {
            ++binary_frames;
            logger()->warn("server sent a binary frame of {} bytes; ignored (requests come in text frames)",
                           text.size());
            continue;
          }
          if (on_message) on_message(std::move(text));
        }
      } catch (...) {
        failure = std::current_exception();
      }
      open = false;
      session.reset();
      // The host's own closing (stop, or close_soon) is no failure.
      const bool planned = stopped || parked;
      if (was_up) {
        if (planned) {
          logger()->info("server link closed: {}", options.url);
        } else {
          logger()->warn("server link down: {}", failure_text(failure));
        }
        if (on_state) on_state(false);
        // The back-off starts over only after a link that stayed up for a
        // while: a server that accepts and then breaks at once is not
        // reconnected at the first back-off for ever.
        if (clock_seconds() - up_at >= options.stable_after) backoff = options.initial_backoff;
      }
      if (stopped) break;
      if (parked) continue;
      if (!was_up) {
        bool tls_failure = false;
        try {
          std::rethrow_exception(failure);
        } catch (const TlsFailure&) {
          tls_failure = true;
        } catch (...) {
        }
        if (tls_failure) {
          logger()->error("server {}: {}; next try in {} s", options.url, failure_text(failure), backoff);
        } else {
          logger()->info("server {} not reachable ({}); next try in {} s", options.url, failure_text(failure), backoff);
        }
      } else {
        logger()->info("server link: next try in {} s", backoff);
      }
      last_backoff = backoff;
      co_await pause(backoff);
      backoff = std::min(backoff * 2, options.max_backoff);
    }
  }

  asio::awaitable<void> close_session(std::shared_ptr<Session> s) {
    try {
      co_await gate.acquire();
      GateHold hold(gate);
      co_await s->close();
    } catch (const std::exception&) {
      s->abort();
    }
  }

  void begin_close() {
    if (!session) return;
    asio::co_spawn(loop, close_session(session), [](std::exception_ptr e) {
      if (e) logger()->warn("closing the server link failed: {}", failure_text(e));
    });
  }
};

WsLink::WsLink(asio::io_context& loop, WsLinkOptions options, MessageHandler on_message, StateHandler on_state)
    : impl_(std::make_shared<Impl>(loop, std::move(options), std::move(on_message), std::move(on_state))) {}

WsLink::~WsLink() {
  stop();
}

void WsLink::start() {
  asio::co_spawn(
      impl_->loop, [impl = impl_]() { return impl->run(); },
      [](std::exception_ptr e) {
        if (e) logger()->error("server link stopped: {}", error_text(e));
      });
}

void WsLink::stop() {
  asio::post(impl_->loop, [impl = impl_] {
    if (impl->stopped) return;
    impl->stopped = true;
    impl->wake.cancel();
    impl->begin_close();
  });
}

bool WsLink::ws() const {
  return impl_->open;
}

asio::awaitable<void> WsLink::send(std::string text) {
  auto impl = impl_;
  if (!impl->open) throw OSError("server link is down");
  co_await impl->gate.acquire();
  GateHold hold(impl->gate);
  auto s = impl->session;
  if (!s || !impl->open) throw OSError("server link is down");
  try {
    co_await s->write(text);
  } catch (const boost::system::system_error& e) {
    // The connection loop notices the broken link on its read.
    s->abort();
    throw OSError(std::string("sending to the server failed: ") + e.what());
  }
}

void WsLink::close_soon() {
  asio::post(impl_->loop, [impl = impl_] {
    impl->parked = true;
    // Closing: nothing more is sent from now on.
    impl->open = false;
    impl->begin_close();
  });
}

void WsLink::resume() {
  asio::post(impl_->loop, [impl = impl_] {
    if (!impl->parked) return;
    impl->parked = false;
    impl->wake.cancel();
  });
}

std::uint64_t WsLink::connects() const {
  return impl_->connects;
}

std::uint64_t WsLink::binary_frames() const {
  return impl_->binary_frames;
}

double WsLink::last_backoff() const {
  return impl_->last_backoff;
}

const std::string& WsLink::url() const {
  return impl_->options.url;
}

}  // namespace orvanta::host

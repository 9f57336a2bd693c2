#include "support/tls_server.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

namespace orvanta::testing {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

Key make_key() {
  Key key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext, -1) == 1, "adding an extension");
  X509_EXTENSION_free(ext);
}

Cert make_cert(const std::string& common_name, EVP_PKEY* key, X509* issuer, long serial) {
  Cert cert(X509_new());
  check(cert != nullptr, "certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                             -1, 0);
  check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");
  check(X509_set_pubkey(cert.get(), key) == 1, "public key");
  return cert;
}

std::string to_pem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  check(PEM_write_bio_X509(bio.get(), cert) == 1, "writing a certificate");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string to_pem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "writing a key");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

TestPki TestPki::make(const std::string& ca_name, const std::string& alt_names) {
  Key ca_key = make_key();
  Cert ca = make_cert(ca_name, ca_key.get(), nullptr, 1);
  add_extension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.get(), ca_key.get(), EVP_sha256()) > 0, "signing the authority");

  Key server_key = make_key();
  Cert server = make_cert("orvanta test server", server_key.get(), ca.get(), 2);
  add_extension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  add_extension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  add_extension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  add_extension(server.get(), ca.get(), NID_subject_alt_name, alt_names.c_str());
  add_extension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  check(X509_sign(server.get(), ca_key.get(), EVP_sha256()) > 0, "signing the server certificate");

  return TestPki{to_pem(ca.get()), to_pem(server.get()), to_pem(server_key.get())};
}

TempFile::TempFile(const std::string& content) {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-test-XXXXXX").string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("cannot create a temporary file");
  path_ = pattern;
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write a temporary file");
    }
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

TempFile::~TempFile() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

struct TlsServer::Impl {
  Impl(const TestPki& pki, Behaviour b, Response r)
      : behaviour(b), response(std::move(r)), ssl(asio::ssl::context::tls_server), acceptor(loop) {
    ssl.use_certificate_chain(asio::buffer(pki.server_cert_pem));
    ssl.use_private_key(asio::buffer(pki.server_key_pem), asio::ssl::context::pem);
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
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
      ++accepted;
      asio::co_spawn(loop, serve(std::move(socket)), asio::detached);
    }
  }

  // Reads until the peer goes away, answering nothing.
  template <class Stream>
  static asio::awaitable<void> hold(Stream& stream) {
    char scratch[512];
    for (;;) {
      auto [ec, n] = co_await stream.async_read_some(asio::buffer(scratch), asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
    }
  }

  asio::awaitable<void> serve(tcp::socket socket) {
    if (behaviour == Behaviour::kSilentBeforeHandshake) {
      co_await hold(socket);
      co_return;
    }
    asio::ssl::stream<tcp::socket> stream(std::move(socket), ssl);
    auto [hs_ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
    if (hs_ec) co_return;
    std::string input;
    auto [read_ec, head_size] = co_await asio::async_read_until(stream, asio::dynamic_buffer(input), "\r\n\r\n",
                                                                asio::as_tuple(asio::use_awaitable));
    if (read_ec) co_return;
    {
      std::lock_guard guard(mu);
      heads.push_back(input.substr(0, head_size));
    }
    if (behaviour == Behaviour::kSilentAfterHandshake) {
      co_await hold(stream);
      co_return;
    }
    std::string out =
        "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason +
        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(response.body.size()) +
        "\r\nConnection: close\r\n\r\n" + response.body;
    co_await asio::async_write(stream, asio::buffer(out), asio::as_tuple(asio::use_awaitable));
    // The body is framed by its length; the connection simply closes.
    boost::system::error_code ignored;
    stream.lowest_layer().close(ignored);
  }

  Behaviour behaviour;
  Response response;
  asio::io_context loop;
  asio::ssl::context ssl;
  tcp::acceptor acceptor;
  unsigned short port = 0;
  std::atomic<int> accepted{0};
  mutable std::mutex mu;
  std::vector<std::string> heads;
  std::thread thread;
};

TlsServer::TlsServer(const TestPki& pki, Behaviour behaviour, Response response)
    : impl_(std::make_unique<Impl>(pki, behaviour, std::move(response))) {}

TlsServer::~TlsServer() = default;

unsigned short TlsServer::port() const {
  return impl_->port;
}

std::string TlsServer::host() const {
  return "127.0.0.1:" + std::to_string(impl_->port);
}

std::vector<std::string> TlsServer::request_heads() const {
  std::lock_guard guard(impl_->mu);
  return impl_->heads;
}

int TlsServer::connections() const {
  return impl_->accepted.load();
}

}  // namespace orvanta::testing

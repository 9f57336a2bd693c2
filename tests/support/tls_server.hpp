#pragma once

// A small HTTPS server on 127.0.0.1 for tests of the HTTP client, with a
// throw-away certificate authority made at run time.
//
// The server runs its own event loop on its own thread, listens on an
// ephemeral port, and behaves in one of three ways: it answers every request
// with a fixed response, it completes the TLS handshake and then never
// answers, or it accepts the TCP connection and never even starts the
// handshake. It records the head (request line and headers) of every request
// it reads.

#include <memory>
#include <string>
#include <vector>

namespace orvanta::testing {

// A certificate authority and a server certificate it signed, all PEM text.
struct TestPki {
  std::string ca_cert_pem;
  std::string server_cert_pem;
  std::string server_key_pem;

  // Makes a new authority named `ca_name` and a server certificate whose
  // subject alternative names are `alt_names` (OpenSSL syntax, for example
  // "IP:127.0.0.1,DNS:localhost"). Keys are P-256; validity one day either
  // side of now.
  static TestPki make(const std::string& ca_name = "orvanta test CA",
                      const std::string& alt_names = "IP:127.0.0.1,DNS:localhost");
};

// A file with the given content in the temporary directory, removed when the
// object goes.
class TempFile {
 public:
  explicit TempFile(const std::string& content);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The fixed answer of a server that answers.
struct CannedResponse {
  int status = 200;
  std::string reason = "OK";
  std::string body;
};

class TlsServer {
 public:
  using Response = CannedResponse;

  enum class Behaviour {
    kAnswer,                // answers every request with the fixed response
    kSilentAfterHandshake,  // handshakes, reads the request, never answers
    kSilentBeforeHandshake  // accepts the connection, never handshakes
  };

  TlsServer(const TestPki& pki, Behaviour behaviour, Response response = {});
  // Stops the loop and drops every connection.
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  unsigned short port() const;
  // "127.0.0.1:<port>", the host part of a URL that reaches the server.
  std::string host() const;
  // The heads of the requests read so far, each up to and including the
  // blank line that ends it.
  std::vector<std::string> request_heads() const;
  // Connections accepted so far.
  int connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::testing

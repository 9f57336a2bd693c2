// HTTP(S) GETs through libcurl, and JSON records sent to the server link.

#include "orvanta/robot/fetching.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include <curl/curl.h>
#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {
namespace {

// libcurl's process-wide initialisation runs once, on first use, whichever
// thread gets there first. It is never undone: a thread still inside a
// request while the process exits must not find the library torn down.
void ensure_curl_initialised() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) throw OSError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(result));
}

// The extra trusted authorities; read at the start of each request.
class ExtraCaSetting {
 public:
  void set(std::optional<std::string> path) {
    std::lock_guard guard(mu_);
    path_ = std::move(path);
  }
  std::optional<std::string> get() const {
    std::lock_guard guard(mu_);
    return path_;
  }

 private:
  mutable std::mutex mu_;
  std::optional<std::string> path_;
};

ExtraCaSetting& extra_ca_setting() {
  static ExtraCaSetting setting;
  return setting;
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

size_t append_body(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  try {
    body->append(data, size * count);
  } catch (...) {
    // A short count makes libcurl end the transfer with a write error.
    return 0;
  }
  return size * count;
}

// The extra authorities file of one request, and what went wrong loading it.
struct ExtraAuthorities {
  std::string path;
  std::string failure;
};

// Runs after libcurl has loaded the platform's authorities into the TLS
// context, so the extra file adds to them instead of replacing them.
CURLcode add_extra_authorities(CURL*, void* ssl_ctx, void* user) {
  auto* extra = static_cast<ExtraAuthorities*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx));
  if (store == nullptr || X509_STORE_load_file(store, extra->path.c_str()) != 1) {
    char reason[256] = "no certificate store";
    if (unsigned long code = ERR_peek_last_error(); code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    extra->failure = reason;
    return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

long real_milliseconds(double clock_seconds) {
  // The limits are clock time; libcurl measures real time.
  double real_ms = clock_seconds * 1000.0 / timing::scale();
  return std::max(1L, std::lround(real_ms));
}

template <class T>
void set_option(CURL* handle, CURLoption option, T value) {
  CURLcode rc = curl_easy_setopt(handle, option, value);
  if (rc != CURLE_OK) throw OSError(std::string("cannot set up the request: ") + curl_easy_strerror(rc));
}

// GETs `url`; with `request_target` the request line carries that target
// instead of the URL's path. `shown_url` names the request in errors.
std::string perform_get(const std::string& url, const std::optional<std::string>& request_target,
                        const std::string& shown_url) {
  ensure_curl_initialised();
  EasyHandle handle(curl_easy_init());
  if (!handle) throw OSError("cannot create a libcurl handle");
  CURL* h = handle.get();

  std::string body;
  char error_text[CURL_ERROR_SIZE] = {};
  // libcurl adds "Accept: */*" unless told not to; the request carries no
  // header but Host.
  HeaderList headers(curl_slist_append(nullptr, "Accept:"));
  if (!headers) throw OSError("cannot set up the request headers");
  std::optional<ExtraAuthorities> extra_ca;
  if (auto path = extra_ca_setting().get()) extra_ca = ExtraAuthorities{std::move(*path), {}};

  set_option(h, CURLOPT_URL, url.c_str());
  set_option(h, CURLOPT_PROTOCOLS_STR, "http,https");
  set_option(h, CURLOPT_HTTPGET, 1L);
  set_option(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set_option(h, CURLOPT_HTTPHEADER, headers.get());
  set_option(h, CURLOPT_PROXY, "");
  set_option(h, CURLOPT_NOSIGNAL, 1L);
  set_option(h, CURLOPT_SSL_VERIFYPEER, 1L);
  set_option(h, CURLOPT_SSL_VERIFYHOST, 2L);
  set_option(h, CURLOPT_CONNECTTIMEOUT_MS, real_milliseconds(kConnectTimeLimit));
  set_option(h, CURLOPT_TIMEOUT_MS, real_milliseconds(kTransferTimeLimit));
  set_option(h, CURLOPT_ERRORBUFFER, error_text);
  set_option(h, CURLOPT_WRITEFUNCTION, &append_body);
  set_option(h, CURLOPT_WRITEDATA, static_cast<void*>(&body));
  if (request_target) set_option(h, CURLOPT_REQUEST_TARGET, request_target->c_str());
  if (extra_ca) {
    set_option(h, CURLOPT_SSL_CTX_FUNCTION, &add_extra_authorities);
    set_option(h, CURLOPT_SSL_CTX_DATA, static_cast<void*>(&*extra_ca));
  }

  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    std::string reason = error_text[0] != '\0' ? std::string(error_text) : std::string(curl_easy_strerror(rc));
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      throw TimeoutError(fmt::format("GET {} timed out (limits: {} s to connect, {} s in all): {}", shown_url,
                                     kConnectTimeLimit, kTransferTimeLimit, reason));
    }
    if (extra_ca && !extra_ca->failure.empty()) {
      reason = fmt::format("cannot load the certificate authorities in {}: {}", extra_ca->path, extra_ca->failure);
    }
    throw OSError(fmt::format("GET {} failed: {}", shown_url, reason));
  }
  check_utf8(body);
  return body;
}

// Raises ValueError when `text`, the `part` of a request, holds a control
// character: a CR or LF in a request target would end the request line and
// start header lines of the caller's choosing.
void refuse_control_characters(std::string_view text, std::string_view part) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      throw ValueError(
          fmt::format("the {} of the request holds a control character (0x{:02x}) at position {}", part, c, i));
    }
  }
}

// Raises ValueError when `host` holds a character that would end the host
// part of a URL or give it another meaning (user information, a path).
void refuse_host_delimiters(std::string_view host) {
  refuse_control_characters(host, "host");
  const auto found = host.find_first_of(" /?#@\\");
  if (found != std::string_view::npos) {
    throw ValueError(
        fmt::format("the host of the request holds '{}' at position {}, which a host cannot hold", host[found], found));
  }
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Characters a URL may hold as they stand: the unreserved ones and the
// delimiters, which keep their meaning.
bool may_stand_in_url(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos;
}

// `target` (path, query, fragment) with every byte a URL may not hold as it
// stands written as %XX (uppercase hex): a space, the bytes of non-ASCII
// text, quotes, angle brackets and the like. An existing %XX escape is kept;
// a '%' not starting one is itself escaped.
std::string percent_encode(std::string_view target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    const auto c = static_cast<unsigned char>(target[i]);
    const bool escape_start =
        c == '%' && i + 2 < target.size() && is_hex_digit(target[i + 1]) && is_hex_digit(target[i + 2]);
    if (escape_start || (c != '%' && may_stand_in_url(c))) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

[[noreturn]] void fail_decode(unsigned char byte, std::size_t position, const char* reason) {
  throw ValueError(fmt::format("'utf-8' codec can't decode byte 0x{:02x} in position {}: {}", byte, position, reason));
}

}  // namespace

void set_extra_ca_file(std::optional<std::string> path) {
  extra_ca_setting().set(std::move(path));
}

std::optional<std::string> extra_ca_file() {
  return extra_ca_setting().get();
}

void check_utf8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Length of the sequence and the allowed range of its second byte, which
    // is where overlong forms, surrogates and values past U+10FFFF show.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3;
      low = 0xA0;
    } else if (lead == 0xED) {
      length = 3;
      high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      length = 3;
    } else if (lead == 0xF0) {
      length = 4;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      length = 4;
    } else if (lead == 0xF4) {
      length = 4;
      high = 0x8F;
    } else {
      fail_decode(lead, i, "invalid start byte");
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= n) fail_decode(lead, i, "unexpected end of data");
      const unsigned char next = s[i + k];
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (next < lo || next > hi) fail_decode(lead, i, "invalid continuation byte");
    }
    i += length;
  }
}

std::string http_get(const std::string& url) {
  refuse_control_characters(url, "URL");
  // Only what follows the scheme and the host is encoded; a URL without a
  // scheme is left for the transfer to refuse.
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return perform_get(url, std::nullopt, url);
  const auto host_end = std::min(url.find_first_of("/?#", scheme_end + 3), url.size());
  const std::string encoded = url.substr(0, host_end) + percent_encode(std::string_view(url).substr(host_end));
  return perform_get(encoded, std::nullopt, encoded);
}

std::string fetch_url(const std::string& host, const std::string& path) {
  refuse_host_delimiters(host);
  refuse_control_characters(path, "path");
  const std::string target = path.empty() ? std::string("/") : percent_encode(path);
  return perform_get("https://" + host + "/", target, "https://" + host + target);
}

boost::asio::awaitable<void> send(Json msg_data) {
  const std::string text = json_dumps(msg_data);
  // Held for the whole send, even if the host replaces the connection
  // meanwhile.
  const std::shared_ptr<WsClient> client = config.ws_client.get();
  co_await client->send(text);
}

}  // namespace orvanta::robot

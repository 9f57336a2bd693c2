#pragma once

// Plain HTTP(S) GET requests, and sending one record to the group-management
// server over the host's connection.
//
// A GET blocks the calling thread for the whole exchange. Certificates and
// host names are verified against the platform's default certificate
// authorities (plus the one of set_extra_ca_file, if any). The status code is
// not looked at: an error page's body is returned like any other. So that a
// server which accepts a connection and never answers cannot hold the caller
// for ever, a request gives up after 10 s of connecting (TLS handshake
// included) or 60 s in all, measured on the timing facility's clock, and
// raises TimeoutError. Requests go straight to the server; proxy settings of
// the environment are not used, and redirects are not followed.
//
// Before anything is sent, a request whose host or path holds a control
// character (a CR or LF would inject header lines) is refused with
// ValueError. What a URL may not hold as it stands in the path and query (a
// space, non-ASCII text, quotes and the like) is percent-encoded as the usual
// HTTP clients do: the UTF-8 bytes as %XX in uppercase hex; an existing %XX
// escape is kept, a '%' that starts none is written %25. So a display name
// appended to a server address reaches the server intact.
//
// Thread-safety: every function may be called from any thread, also from
// several at once.

#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "orvanta/errors.hpp"
#include "orvanta/json.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/visibility.hpp"

namespace orvanta::robot {

// A request that ran out of its connect or overall time limit. The text says
// that it timed out and names the URL.
class ORVANTA_INTERFACE TimeoutError : public OSError {
 public:
  using OSError::OSError;
};

// Connect and overall time limits of a request, in seconds of clock time.
inline constexpr double kConnectTimeLimit = 10.0;
inline constexpr double kTransferTimeLimit = 60.0;

// GETs `url` (http or https) with no extra headers and returns the response
// body, which must be valid UTF-8.
// Raises ValueError for a control character anywhere in `url`, TimeoutError when a time limit ran out, OSError with the
// transfer library's error text for any other failure (connection, TLS, certificate, protocol), ValueError when the
// body is not valid UTF-8.
ORVANTA_ROBOT_EXPORT std::string http_get(const std::string& url);

// GETs the request target `path` (path and query; "/" when empty) from
// `host` (a host name, optionally with ":port"; port 443 otherwise) over
// HTTPS. The request carries only the request line and the Host header.
// Raises ValueError for a control character in `host` or `path`, or a host
// holding a space, '/', '?', '#', '@' or a backslash; otherwise fails as
// http_get does.
ORVANTA_ROBOT_EXPORT std::string fetch_url(const std::string& host, const std::string& path);

// Makes every later request trust the certificate authorities in the PEM file
// at `path` in addition to the platform's own; std::nullopt (the default)
// trusts the platform's only. Meant for tests and for private deployments
// whose server has a certificate of their own authority. A file that cannot
// be read makes the requests fail with OSError.
ORVANTA_ROBOT_EXPORT void set_extra_ca_file(std::optional<std::string> path);
ORVANTA_ROBOT_EXPORT std::optional<std::string> extra_ca_file();

// Raises ValueError naming the first offending byte when `bytes` is not valid
// UTF-8 (overlong forms, surrogates and code points above U+10FFFF count as
// invalid).
ORVANTA_ROBOT_EXPORT void check_utf8(const std::string& bytes);

// Sends `msg_data` to the group-management server as JSON text (keys in their
// order, every character outside ASCII written as a \uXXXX escape, items
// separated by ", " and keys from values by ": "). Awaited on the loop that
// owns config.ws_client. Catches nothing: a missing connection raises
// AttributeError, a failed send passes its error on. The record is taken by
// value so that a task started with a temporary record keeps its own copy.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> send(Json msg_data);

}  // namespace orvanta::robot

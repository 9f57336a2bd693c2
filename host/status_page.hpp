#pragma once

// The status page's own files: the page, its script and its style, compiled
// into the program. The script reads the host's state from the event stream
// at /events and writes every text it shows with textContent, never as
// markup.

#include <optional>
#include <string>

#include "local_http.hpp"

namespace orvanta::host {

// The path of the status page's event stream.
inline constexpr const char* kStatusStreamPath = "/events";

// The answer for `path` ("/", "/status.js", "/status.css"), if it is one of
// the page's files.
std::optional<HttpAnswer> status_page_file(const std::string& path);

}  // namespace orvanta::host

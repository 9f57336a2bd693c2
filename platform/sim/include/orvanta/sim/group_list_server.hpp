#pragma once

// A tiny HTTP server on 127.0.0.1 that answers the request for the list of
// listened groups from a simulated client's scenario (SimClient::group_list),
// so that a listening run can start from one scenario file:
//
//   orvanta::sim::GroupListServer server(client);
//   orvanta::config.get_listening_group_url = server.url();
//   // the system then GETs server.url() + account name
//
// For the account the client's group list names, the answer is
// {"code": <code>, "data": [{"name": ...}, ...]} with the list's HTTP status,
// or the list's raw body, or no answer at all (the connection is closed)
// when the list says the request fails. For any other name the answer is
// HTTP 404 with {"code": 404, "data": []}. The list is read at each request,
// so scenario events that change it take effect for the next request.
//
// The server runs its own event loop on its own thread; it stops when the
// object goes. Thread-safety: every member may be called from any thread.

#include <memory>
#include <string>
#include <vector>

namespace orvanta::sim {

class SimClient;

class GroupListServer {
 public:
  // Listens on 127.0.0.1:`port` (0: any free port). Raises OSError when it
  // cannot listen.
  explicit GroupListServer(std::shared_ptr<SimClient> client, unsigned short port = 0);
  ~GroupListServer();
  GroupListServer(const GroupListServer&) = delete;
  GroupListServer& operator=(const GroupListServer&) = delete;

  unsigned short port() const;
  // "http://127.0.0.1:<port>/listening_groups/": the account name is
  // appended to it as it is.
  std::string url() const;
  // The account names asked for so far, in order (percent-escapes decoded).
  std::vector<std::string> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::sim

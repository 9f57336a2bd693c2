#pragma once

// A group-management server for the host's tests, on 127.0.0.1: a WebSocket
// endpoint (any path) that records every text frame, acknowledges events
// when told to, and can push frames to the assistant; and, on the same port,
// plain HTTP GETs that answer with the group list. It runs its own loop on
// its own thread. It can go away (listening socket and connections closed)
// and come back on the same port.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orvanta/json.hpp"

namespace orvanta::testing {

class TestServer {
 public:
  struct Options {
    // Acknowledge every frame that carries "event_id" (or "id", or
    // "sequence") with that value.
    bool acknowledge = true;
    // Body of every plain GET.
    std::string group_list = R"({"code":200,"data":[]})";
    // With TLS: PEM certificate and key of the server.
    std::string cert_pem{};
    std::string key_pem{};
    // Complete the WebSocket handshake, then drop the connection at once.
    bool drop_after_handshake = false;
  };

  explicit TestServer(Options options);
  TestServer() : TestServer(Options{}) {}
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  unsigned short port() const;
  // "ws://127.0.0.1:<port>/ws" (or wss://).
  std::string ws_url() const;
  // "http://127.0.0.1:<port>/groups/".
  std::string group_list_url() const;

  // Every text frame received so far, in order of arrival.
  std::vector<std::string> frames() const;
  // Waits (up to `limit` of real time) until `pred(frames)` holds; returns
  // whether it did.
  bool wait_until(const std::function<bool(const std::vector<std::string>&)>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Waits until at least `n` frames have arrived.
  bool wait_for_frames(std::size_t n) const;
  // Waits until `n` connections have been accepted in all.
  bool wait_for_connections(int n) const;

  // Sends a text frame on every open connection.
  void push(const std::string& text);
  // Sends a binary frame on every open connection.
  void push_binary(const std::string& bytes);
  void set_acknowledge(bool on);

  // Closes the listening socket and every connection; go_up() listens again
  // on the same port.
  void go_down();
  void go_up();

  int connections() const;
  // Connections that the client closed with a close frame.
  int closed_by_client() const;
  std::vector<std::string> http_targets() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The JSON frames that carry "event" equal to `event`, or, for "group_message", the
// frames without "event".
std::vector<Json> events_of(const std::vector<std::string>& frames, const std::string& event);

}  // namespace orvanta::testing

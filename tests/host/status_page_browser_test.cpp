// The status page in a real browser: the `orvanta` program runs on the
// simulated client with --http-port, headless Chromium opens the page, and
// the test reads the page's DOM over Chromium's DevTools protocol while the
// scenario plays: the groups, events that arrive after the page was opened
// (hostile markup among them, which must show as text), a server request's
// result, and the page saying so once the program has stopped. It saves a
// screenshot of the page in the build folder.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include "host/process.hpp"
#include "orvanta/json.hpp"
#include "orvanta/robot/fetching.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr const char* kHostile = "<img src=x onerror=alert(1)>";
constexpr const char* kClosingScript = "</script><script>alert(2)</script>";

// The hostile lines arrive 15 s of real time after the start (at --speed
// 10), well after the page has been opened.
constexpr const char* kScenario = R"({
  "account": {"nickname": "群管助手"},
  "options": {"strict_threads": true},
  "chats": [
    {"name": "产品交流群", "type": "group",
     "members": [{"name": "Alice", "remark": "A001"}, {"name": "Bob", "remark": "B002"}]},
    {"name": "技术讨论群", "type": "group", "members": [{"name": "Carol"}]}
  ],
  "timeline": [
    {"at": -3600, "event": "text", "chat": "产品交流群", "sender": "Alice", "text": "欢迎大家"},
    {"at": 20, "event": "text", "chat": "产品交流群", "sender": "Alice", "text": "今天发布新版本"},
    {"at": 150, "event": "text", "chat": "产品交流群", "sender": "Bob", "text": "HOSTILE"},
    {"at": 152, "event": "text", "chat": "产品交流群", "sender": "Bob", "text": "CLOSING"}
  ],
  "server": [
    {"at": 25, "message": {"type": "send", "chat": "产品交流群", "content": "欢迎", "request_id": "s-1"}}
  ]
})";

const char* kGroupList = R"({"code":200,"data":[{"name":"产品交流群"},{"name":"技术讨论群"}]})";

std::string scenario_text() {
  std::string text = kScenario;
  const auto put = [&text](const std::string& mark, const std::string& value) {
    text.replace(text.find(mark), mark.size(), Json(value).dump().substr(1, Json(value).dump().size() - 2));
  };
  put("HOSTILE", kHostile);
  put("CLOSING", kClosingScript);
  return text;
}

std::string base64_decode(const std::string& in) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : in) {
    const auto at = kAlphabet.find(c);
    if (at == std::string::npos) continue;  // padding
    value = (value << 6) | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xff);
    }
  }
  return out;
}

// Waits up to `seconds` of real time for `pred`, looking every 100 ms.
template <class Pred>
bool within(int seconds, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// One page of Chromium, driven over the DevTools protocol.
class DevTools {
 public:
  DevTools(const std::string& host, unsigned short port, const std::string& path) : ws_(io_) {
    tcp::resolver resolver(io_);
    asio::connect(ws_.next_layer(), resolver.resolve(host, std::to_string(port)));
    // No answer within this long is a failure, not a hang.
    timeval limit{20, 0};
    ::setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ws_.read_message_max(64 * 1024 * 1024);
    ws_.handshake(host + ":" + std::to_string(port), path);
  }

  // The result of `method`; throws on a protocol error.
  Json call(const std::string& method, Json params = Json::object()) {
    const int id = ++next_id_;
    ws_.write(asio::buffer(Json{{"id", id}, {"method", method}, {"params", std::move(params)}}.dump()));
    for (;;) {
      beast::flat_buffer buffer;
      ws_.read(buffer);
      const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
      if (message.value("id", 0) != id) continue;  // an event
      if (message.contains("error")) throw std::runtime_error(method + ": " + message["error"].dump());
      return message["result"];
    }
  }

  // The value of a JavaScript expression that gives a string.
  std::string evaluate(const std::string& expression) {
    const Json result = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    if (result.contains("exceptionDetails")) throw std::runtime_error(result["exceptionDetails"].dump());
    const Json& value = result["result"]["value"];
    return value.is_string() ? value.get<std::string>() : value.dump();
  }

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
  int next_id_ = 0;
};

// What the page shows: the text of every cell of its tables, and more.
constexpr const char* kReadPage = R"js((() => {
  const rows = (id) => [...document.querySelectorAll('#' + id + ' tbody tr')]
      .map((tr) => [...tr.cells].map((td) => td.textContent));
  const text = (id) => document.getElementById(id).textContent;
  return JSON.stringify({
    connection: text('connection'), account: text('account'), health: text('health'), client: text('client'),
    listening: text('listening'), groups: rows('groups'), events: rows('events'), requests: rows('requests'),
    markup: document.querySelectorAll('img, svg, #events script, #events b').length
  });
})())js";

class StatusPageInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* chosen = std::getenv("ORVANTA_CHROMIUM");
    for (const std::string candidate : {chosen ? chosen : "", "/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
      if (!candidate.empty() && ::access(candidate.c_str(), X_OK) == 0) {
        chromium_ = candidate;
        break;
      }
    }
    if (chromium_.empty())
      GTEST_SKIP() << "no Chromium to open the page in: scripts/setup installs the Debian package chromium "
                      "(or set ORVANTA_CHROMIUM to a Chromium program)";
    std::filesystem::copy_file(ORVANTA_CONDUCTOR_FILE, dir_.path() / ORVANTA_CONDUCTOR_SONAME);
  }

  void TearDown() override {
    if (browser_) {
      browser_->signal(SIGTERM);
      browser_->wait(std::chrono::seconds(10));
    }
    if (program_) {
      program_->signal(SIGTERM);
      program_->wait(std::chrono::seconds(20));
    }
    if (HasFailure()) {
      std::cerr << "--- output of the program:\n"
                << read_file(dir_.file("out.txt")) << "--- its log:\n"
                << read_file(dir_.file("log.txt")) << "--- Chromium's standard error:\n"
                << read_file(dir_.file("chromium.err"));
    }
  }

  // Starts headless Chromium with the DevTools protocol on a free port of
  // 127.0.0.1 and connects to its page; skips the test when it cannot start.
  void open_browser() {
    const std::string profile = dir_.file("profile");
    std::filesystem::create_directory(profile);
    browser_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{chromium_, "--headless=new", "--no-sandbox", "--disable-gpu",
                                 "--disable-dev-shm-usage", "--no-first-run", "--no-default-browser-check",
                                 "--disable-extensions", "--disable-background-networking", "--mute-audio",
                                 "--user-data-dir=" + profile, "--remote-debugging-address=127.0.0.1",
                                 "--remote-debugging-port=0", "--window-size=1280,1000", "about:blank"},
        dir_.file("chromium.out"), dir_.file("chromium.err"));
    // Chromium writes the port it took, then the browser's path, to this file.
    const std::string active = profile + "/DevToolsActivePort";
    if (!within(30, [&] { return read_file(active).find('\n') != std::string::npos; }))
      GTEST_SKIP() << "Chromium did not start (" << chromium_ << "); its standard error:\n"
                   << read_file(dir_.file("chromium.err"));
    const unsigned short port = static_cast<unsigned short>(std::stoi(read_file(active)));
    std::optional<std::string> page;
    ASSERT_TRUE(within(20, [&] {
      try {
        for (const Json& target :
             Json::parse(robot::http_get("http://127.0.0.1:" + std::to_string(port) + "/json/list")))
          if (target.value("type", "") == "page") page = target.at("webSocketDebuggerUrl").get<std::string>();
      } catch (const std::exception&) {
      }
      return page.has_value();
    })) << "Chromium lists no page";
    const auto path = page->substr(page->find('/', std::string("ws://").size()));
    devtools_ = std::make_unique<DevTools>("127.0.0.1", port, path);
  }

  // What the page shows; while the page is still loading (the document is
  // not ours yet, or is being replaced) what went wrong, for the message.
  Json read_page() {
    try {
      return Json::parse(devtools_->evaluate(kReadPage));
    } catch (const std::runtime_error& e) {
      return Json{{"not_read", e.what()}};
    }
  }

  // The event rows whose text is `text`.
  static std::vector<Json> events_with_text(const Json& page, const std::string& text) {
    std::vector<Json> out;
    for (const Json& row : page["events"])
      if (row.size() == 5 && row[4] == text) out.push_back(row);
    return out;
  }

  std::string chromium_;
  TempDir dir_;
  std::unique_ptr<ChildProcess> program_;
  std::unique_ptr<ChildProcess> browser_;
  std::unique_ptr<DevTools> devtools_;
};

TEST_F(StatusPageInBrowser, ShowsTheGroupsAndLiveEventsAsTextAndThatTheHostStopped) {
  std::ofstream(dir_.file("scenario.json")) << scenario_text();
  std::ofstream(dir_.file("groups.json")) << kGroupList;
  program_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ORVANTA_PROGRAM, "run", "--scenario", dir_.file("scenario.json"), "--group-list-file",
                               dir_.file("groups.json"), "--speed", "10", "--keep-running", "--http-port", "0",
                               "--log-file", dir_.file("log.txt")},
      dir_.file("out.txt"), dir_.file("err.txt"), std::vector<std::string>{"LD_LIBRARY_PATH=" + dir_.path().string()});
  std::smatch m;
  std::string printed;
  ASSERT_TRUE(within(30, [&] {
    printed = read_file(dir_.file("out.txt"));
    return std::regex_search(printed, m, std::regex(R"(status page at (http://127\.0\.0\.1:\d+)/)"));
  })) << printed;
  const std::string url = m[1].str() + "/";

  open_browser();
  if (IsSkipped() || HasFatalFailure()) return;
  devtools_->call("Emulation.setDeviceMetricsOverride",
                  {{"width", 1280}, {"height", 1000}, {"deviceScaleFactor", 1}, {"mobile", false}});
  devtools_->call("Page.navigate", {{"url", url}});

  // The page is live and shows the listened groups.
  Json page;
  ASSERT_TRUE(within(30, [&] {
    page = read_page();
    return page["connection"] == "live" && page["groups"].size() == 2;
  })) << page.dump(2);
  EXPECT_EQ(page["groups"][0][0], "产品交流群");
  EXPECT_EQ(page["groups"][1][0], "技术讨论群");
  EXPECT_EQ(page["account"], "(群管助手)");
  // Opened before the hostile lines arrived: they come live.
  ASSERT_TRUE(events_with_text(page, kHostile).empty())
      << "the page was opened after the event it waits for; the machine is too slow for this test";

  ASSERT_TRUE(within(40, [&] {
    page = read_page();
    return !events_with_text(page, kHostile).empty() && !events_with_text(page, kClosingScript).empty() &&
           !page["requests"].empty();
  })) << page.dump(2);
  // Shown as text, in the cells the script made, not as markup.
  EXPECT_EQ(events_with_text(page, kHostile).front(),
            (Json{page["events"][1][0], "message", "产品交流群", "B002", kHostile}));
  EXPECT_EQ(events_with_text(page, kClosingScript).front()[3], "B002");
  EXPECT_EQ(page["markup"], 0);
  EXPECT_EQ(page["events"].size(), 3u) << page.dump(2);
  EXPECT_EQ(events_with_text(page, "今天发布新版本").size(), 1u);
  // The group's row counts them; the page's summary says the host is well.
  EXPECT_EQ(page["groups"][0][3], "3");
  EXPECT_NE(page["groups"][0][1], "-");
  EXPECT_EQ(page["groups"][1][3], "0");
  EXPECT_EQ(page["health"], "ok");
  EXPECT_EQ(page["client"], "logged in");
  EXPECT_EQ(page["listening"].get<std::string>().rfind("up, 0 restart(s) so far", 0), 0u) << page["listening"];
  // The scenario's server request, carried out.
  const Json& request = page["requests"][0];
  EXPECT_EQ(request[1], "s-1");
  EXPECT_EQ(request[2], "send");
  EXPECT_EQ(request[3], "产品交流群");
  EXPECT_EQ(request[4], "done");

  const Json shot = devtools_->call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}});
  const std::string png = base64_decode(shot.at("data").get<std::string>());
  EXPECT_EQ(png.substr(1, 3), "PNG");
  std::ofstream(ORVANTA_SCREENSHOT, std::ios::binary) << png;
  std::cout << "screenshot of the status page: " << ORVANTA_SCREENSHOT << "\n";

  // The program stops: the page says so.
  program_->signal(SIGTERM);
  EXPECT_EQ(program_->wait(std::chrono::seconds(30)), 0);
  program_.reset();
  // Serving the page never drove the client from a second thread.
  EXPECT_EQ(read_file(dir_.file("out.txt")).find("two threads drive the client at once"), std::string::npos);
  ASSERT_TRUE(within(20, [&] {
    page = read_page();
    const std::string said = page["connection"].is_string() ? page["connection"].get<std::string>() : "";
    return said.rfind("stopped", 0) == 0 || said.rfind("not reachable", 0) == 0;
  })) << page.dump(2);
}

}  // namespace
}  // namespace orvanta::testing

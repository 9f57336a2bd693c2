#include "orvanta/robot/fetching.hpp"

#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "orvanta/robot/timing.hpp"
#include "support/tls_server.hpp"

namespace orvanta::robot {
namespace {

using ::testing::HasSubstr;
using testing::TempFile;
using testing::TestPki;
using testing::TlsServer;

// The time limits follow the facility's clock. Tests of answers run the
// clock at real speed, so that a handshake slowed down by a loaded machine (or
// a sanitizer) is never mistaken for a silent server. Tests of silent servers
// speed the clock up so that the limits run out within a few real seconds.
constexpr double kRealSpeed = 1.0;
// 10 s to connect become 0.5 s real.
constexpr double kFastConnectLimitScale = 20.0;
// 10 s to connect become 2.5 s real, 60 s in all become 15 s real. One real
// second to connect was too short for a local handshake under the address
// sanitizer on a loaded machine: the connect limit then ended the wait
// before the request was sent.
constexpr double kFastTransferLimitScale = 4.0;

class Fetching : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<TestPki>(TestPki::make());
    ca_file_ = std::make_unique<TempFile>(pki_->ca_cert_pem);
  }
  static void TearDownTestSuite() {
    ca_file_.reset();
    pki_.reset();
  }

  void SetUp() override {
    previous_scale_ = timing::scale();
    timing::set_scale(kRealSpeed);
    set_extra_ca_file(ca_file_->path());
  }
  void TearDown() override {
    set_extra_ca_file(std::nullopt);
    timing::set_scale(previous_scale_);
  }

  static const TestPki& pki() { return *pki_; }

 private:
  static std::unique_ptr<TestPki> pki_;
  static std::unique_ptr<TempFile> ca_file_;
  double previous_scale_ = 1.0;
};

std::unique_ptr<TestPki> Fetching::pki_;
std::unique_ptr<TempFile> Fetching::ca_file_;

// --- answers ---------------------------------------------------------------

TEST_F(Fetching, ReturnsTheBodyOfASuccessfulAnswer) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "{\"code\": 200, \"data\": [\"群一\"]}"});
  EXPECT_EQ(fetch_url(server.host(), "/groups?name=bot"), "{\"code\": 200, \"data\": [\"群一\"]}");
}

TEST_F(Fetching, ReturnsTheBodyOfAnErrorPageWithoutLookingAtTheStatus) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {404, "Not Found", "<h1>没有这个页面</h1>"});
  EXPECT_EQ(fetch_url(server.host(), "/missing"), "<h1>没有这个页面</h1>");
}

TEST_F(Fetching, ReturnsAnEmptyBody) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {204, "No Content", ""});
  EXPECT_EQ(fetch_url(server.host(), "/"), "");
}

TEST_F(Fetching, HttpGetReturnsTheBodyForAFullUrl) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "listed"});
  EXPECT_EQ(http_get("https://" + server.host() + "/api/list/" + "bot"), "listed");
  ASSERT_EQ(server.request_heads().size(), 1u);
  EXPECT_EQ(server.request_heads()[0], "GET /api/list/bot HTTP/1.1\r\nHost: " + server.host() + "\r\n\r\n");
}

TEST_F(Fetching, SeveralThreadsFetchAtOnce) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "same"});
  constexpr int kThreads = 4;
  std::vector<std::string> bodies(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { bodies[static_cast<std::size_t>(i)] = fetch_url(server.host(), "/"); });
  for (auto& t : threads) t.join();
  for (const auto& body : bodies) EXPECT_EQ(body, "same");
  EXPECT_EQ(server.connections(), kThreads);
}

// --- the request on the wire -------------------------------------------------

TEST_F(Fetching, SendsOnlyTheRequestLineAndTheHostHeader) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  fetch_url(server.host(), "/api/getGroups?wxName=%E7%BE%A4&x=1");
  ASSERT_EQ(server.request_heads().size(), 1u);
  EXPECT_EQ(server.request_heads()[0],
            "GET /api/getGroups?wxName=%E7%BE%A4&x=1 HTTP/1.1\r\nHost: " + server.host() + "\r\n\r\n");
}

TEST_F(Fetching, AnEmptyPathRequestsTheRoot) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "root"});
  EXPECT_EQ(fetch_url(server.host(), ""), "root");
  ASSERT_EQ(server.request_heads().size(), 1u);
  EXPECT_EQ(server.request_heads()[0].substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST_F(Fetching, ThePathIsSentAsGivenWithoutNormalising) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  fetch_url(server.host(), "/a/../b/./c?q=1#frag");
  ASSERT_EQ(server.request_heads().size(), 1u);
  EXPECT_EQ(server.request_heads()[0].substr(0, 31), "GET /a/../b/./c?q=1#frag HTTP/1");
}

// What a URL may not hold as it stands is percent-encoded in UTF-8 bytes with
// uppercase hex; escapes already there are kept. The group-list request, for
// one, appends the account's display name to the server address.
TEST_F(Fetching, EncodesWhatAUrlMayNotHoldAsItStands) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  struct Case {
    std::string path;
    std::string target;
  };
  const Case cases[] = {
      {"/api/list/机器人 一号", "/api/list/%E6%9C%BA%E5%99%A8%E4%BA%BA%20%E4%B8%80%E5%8F%B7"},
      {"/g?wxName=%e7%BE%A4 and 群", "/g?wxName=%e7%BE%A4%20and%20%E7%BE%A4"},
      {"/100%开心%", "/100%25%E5%BC%80%E5%BF%83%25"},
      {"/q\"<>\\^`{|}", "/q%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"/a-b._~:@!$&'()*+,;=/?x=[1]", "/a-b._~:@!$&'()*+,;=/?x=[1]"},
  };
  for (const auto& c : cases) {
    http_get("https://" + server.host() + c.path);
    fetch_url(server.host(), c.path);
  }
  const auto heads = server.request_heads();
  ASSERT_EQ(heads.size(), 2 * std::size(cases));
  for (std::size_t i = 0; i < heads.size(); ++i) {
    const std::string& target = cases[i / 2].target;
    EXPECT_EQ(heads[i], "GET " + target + " HTTP/1.1\r\nHost: " + server.host() + "\r\n\r\n") << i;
  }
}

// A control character in the host or the path is refused before anything is
// sent: a CR LF would end the request line and inject header lines.
TEST_F(Fetching, RefusesControlCharactersBeforeSending) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  const std::string host = server.host();
  struct Case {
    std::function<void()> request;
    std::string message;
  };
  const Case cases[] = {
      {[&] { fetch_url(host, "/a\r\nX-Injected: 1"); },
       "the path of the request holds a control character (0x0d) at position 2"},
      {[&] { fetch_url(host, "/a\tb"); }, "the path of the request holds a control character (0x09) at position 2"},
      {[&] { fetch_url(host, std::string("/a\0b", 4)); },
       "the path of the request holds a control character (0x00) at position 2"},
      {[&] { fetch_url(host + "\n", "/"); },
       "the host of the request holds a control character (0x0a) at position " + std::to_string(host.size())},
      {[&] { fetch_url("evil.example@" + host, "/"); },
       "the host of the request holds '@' at position 12, which a host cannot hold"},
      {[&] { fetch_url(host + "/x", "/"); },
       "the host of the request holds '/' at position " + std::to_string(host.size()) + ", which a host cannot hold"},
      {[&] { http_get("https://" + host + "/list/\x7f"); },
       "the URL of the request holds a control character (0x7f) at position " + std::to_string(14 + host.size())},
      {[&] { http_get("https://" + host + "/a\nHost: evil"); },
       "the URL of the request holds a control character (0x0a) at position " + std::to_string(10 + host.size())},
  };
  for (const auto& c : cases) {
    try {
      c.request();
      ADD_FAILURE() << "sent: " << c.message;
    } catch (const ValueError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(server.connections(), 0);
}

// --- servers that do not answer ----------------------------------------------

TEST_F(Fetching, AServerThatNeverHandshakesTimesOut) {
  timing::set_scale(kFastConnectLimitScale);
  TlsServer server(pki(), TlsServer::Behaviour::kSilentBeforeHandshake);
  try {
    fetch_url(server.host(), "/slow");
    FAIL() << "expected a time-out";
  } catch (const TimeoutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("timed out"));
    EXPECT_THAT(e.what(), HasSubstr("https://" + server.host() + "/slow"));
  }
  EXPECT_EQ(server.connections(), 1);
  EXPECT_TRUE(server.request_heads().empty());
}

TEST_F(Fetching, AServerThatReadsTheRequestAndNeverAnswersTimesOut) {
  timing::set_scale(kFastTransferLimitScale);
  TlsServer server(pki(), TlsServer::Behaviour::kSilentAfterHandshake);
  std::string url = "https://" + server.host() + "/never";
  try {
    http_get(url);
    FAIL() << "expected a time-out";
  } catch (const TimeoutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("timed out"));
    EXPECT_THAT(e.what(), HasSubstr(url));
  }
  // The request did reach the server: the overall limit, not the connect
  // limit, ended the wait.
  EXPECT_EQ(server.request_heads().size(), 1u);
}

// --- certificates ------------------------------------------------------------

TEST_F(Fetching, ACertificateFromAnUntrustedAuthorityIsRejected) {
  TestPki stranger = TestPki::make("some other CA");
  TlsServer server(stranger, TlsServer::Behaviour::kAnswer, {200, "OK", "secret"});
  try {
    fetch_url(server.host(), "/");
    FAIL() << "expected the certificate to be rejected";
  } catch (const TimeoutError&) {
    FAIL() << "rejected by a time-out instead of by verification";
  } catch (const OSError& e) {
    EXPECT_THAT(e.what(), HasSubstr("certificate"));
  }
  EXPECT_TRUE(server.request_heads().empty());
}

TEST_F(Fetching, WithoutTheExtraAuthorityOnlyThePlatformStoreIsTrusted) {
  set_extra_ca_file(std::nullopt);
  EXPECT_EQ(extra_ca_file(), std::nullopt);
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  EXPECT_THROW(fetch_url(server.host(), "/"), OSError);
  EXPECT_TRUE(server.request_heads().empty());
}

TEST_F(Fetching, ACertificateForAnotherHostNameIsRejected) {
  TestPki other_name = TestPki::make("orvanta test CA", "DNS:server.example");
  TempFile ca(other_name.ca_cert_pem);
  set_extra_ca_file(ca.path());
  TlsServer server(other_name, TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  try {
    fetch_url(server.host(), "/");
    FAIL() << "expected the host name check to fail";
  } catch (const OSError& e) {
    // The authority is trusted here; only the name can be what failed.
    EXPECT_THAT(e.what(), HasSubstr("host name"));
  }
  EXPECT_TRUE(server.request_heads().empty());
}

TEST_F(Fetching, AnUnreadableAuthorityFileFailsTheRequest) {
  set_extra_ca_file("/nonexistent/orvanta-ca.pem");
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "x"});
  try {
    fetch_url(server.host(), "/");
    FAIL() << "expected the missing file to fail the request";
  } catch (const OSError& e) {
    EXPECT_THAT(e.what(), HasSubstr("/nonexistent/orvanta-ca.pem"));
  }
}

// --- other failures ----------------------------------------------------------

TEST_F(Fetching, AnInvalidUtf8BodyIsRejected) {
  TlsServer server(pki(), TlsServer::Behaviour::kAnswer, {200, "OK", "ok\xff\xfe"});
  try {
    fetch_url(server.host(), "/");
    FAIL() << "expected a decoding error";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
  }
}

TEST_F(Fetching, ARefusedConnectionRaisesWithTheTransferError) {
  unsigned short port = 0;
  {
    // A port that was just free: nothing listens on it any more.
    TlsServer gone(pki(), TlsServer::Behaviour::kAnswer);
    port = gone.port();
  }
  try {
    fetch_url("127.0.0.1:" + std::to_string(port), "/");
    FAIL() << "expected a connection error";
  } catch (const TimeoutError&) {
    FAIL() << "a refused connection is not a time-out";
  } catch (const OSError& e) {
    EXPECT_THAT(e.what(), HasSubstr("127.0.0.1"));
  }
}

TEST_F(Fetching, HttpGetRefusesOtherSchemes) {
  EXPECT_THROW(http_get("file:///etc/passwd"), OSError);
}

// --- UTF-8 checking ------------------------------------------------------------

TEST(CheckUtf8, AcceptsAsciiAndEveryEncodedLength) {
  EXPECT_NO_THROW(check_utf8(""));
  EXPECT_NO_THROW(check_utf8("plain"));
  EXPECT_NO_THROW(check_utf8("\xc3\xa9"));          // U+00E9
  EXPECT_NO_THROW(check_utf8("群"));                // U+7FA4
  EXPECT_NO_THROW(check_utf8("\xef\xbb\xbfx"));     // byte-order mark, kept as text
  EXPECT_NO_THROW(check_utf8("\xf0\x9f\x98\x80"));  // U+1F600
  EXPECT_NO_THROW(check_utf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF, the last code point
}

void expect_rejected(const std::string& bytes, const std::string& message) {
  try {
    check_utf8(bytes);
    ADD_FAILURE() << "accepted invalid bytes";
  } catch (const ValueError& e) {
    EXPECT_EQ(e.what(), message);
  }
}

TEST(CheckUtf8, RejectsMalformedSequencesNamingTheLeadByte) {
  expect_rejected("ab\x80", "'utf-8' codec can't decode byte 0x80 in position 2: invalid start byte");
  expect_rejected("\xc0\x80", "'utf-8' codec can't decode byte 0xc0 in position 0: invalid start byte");
  expect_rejected("\xe0\x80\x80", "'utf-8' codec can't decode byte 0xe0 in position 0: invalid continuation byte");
  expect_rejected("x\xed\xa0\x80", "'utf-8' codec can't decode byte 0xed in position 1: invalid continuation byte");
  expect_rejected("\xf4\x90\x80\x80", "'utf-8' codec can't decode byte 0xf4 in position 0: invalid continuation byte");
  expect_rejected("\xf5\x80\x80\x80", "'utf-8' codec can't decode byte 0xf5 in position 0: invalid start byte");
  expect_rejected("\xe7\xbe", "'utf-8' codec can't decode byte 0xe7 in position 0: unexpected end of data");
  expect_rejected("\xe7\x41\xa4", "'utf-8' codec can't decode byte 0xe7 in position 0: invalid continuation byte");
}

}  // namespace
}  // namespace orvanta::robot

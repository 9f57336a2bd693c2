// Fault switches: a chosen call of an operation fails, or calls fail at
// random under a fixed seed; either way the system sees an ordinary error.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}});
    client->post_image("G", "Alice", "bytes", "p.jpg");
    wx = client->driver()->MakeWeChat();
  }

  // Which of `calls` calls of GetAllMessage fail.
  std::vector<bool> failures(int calls) {
    std::vector<bool> out;
    for (int i = 0; i < calls; ++i) {
      try {
        wx->GetAllMessage();
        out.push_back(false);
      } catch (const OSError&) {
        out.push_back(true);
      }
    }
    return out;
  }

  SimOptions options;
  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(FaultsTest, TheNthCallFromNowFailsAndOnlyThatOne) {
  wx->ChatWith("G");
  wx->GetAllMessage();  // calls before the switch do not count
  client->fail_on_call("GetAllMessage", 3);
  EXPECT_EQ(failures(5), (std::vector<bool>{false, false, true, false, false}));
}

TEST_F(FaultsTest, AFailedDriverCallIsAnOrdinaryErrorAndChangesNothing) {
  client->fail_on_call("ChatWith", 1);
  try {
    wx->ChatWith("G");
    FAIL() << "ChatWith did not fail";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("ChatWith"), std::string::npos);
  }
  EXPECT_FALSE(client->current_chat());
  EXPECT_TRUE(client->unread("G"));
}

TEST_F(FaultsTest, EveryDriverOperationCanBeSwitchedToFail) {
  wx->ChatWith("G");
  const std::vector<std::pair<std::string, std::function<void()>>> operations = {
      {"GetNextNewMessage", [&] { wx->GetNextNewMessage(true); }},
      {"ChatWith", [&] { wx->ChatWith("G"); }},
      {"GetAllMessage", [&] { wx->GetAllMessage(); }},
      {"LoadMoreMessage", [&] { wx->LoadMoreMessage(); }},
      {"SendMsg", [&] { wx->SendMsg("x", "G"); }},
      {"GetGroupMembers", [&] { wx->GetGroupMembers(); }},
      {"SwitchToChat", [&] { wx->SwitchToChat(); }},
      {"SwitchToContact", [&] { wx->SwitchToContact(); }},
      {"CollectAllGroupNames", [&] { wx->CollectAllGroupNames(); }},
      {"FindWindow", [&] { client->driver()->FindWindow("WeChatMainWndForPC"); }},
      {"MakeWeChat", [&] { client->driver()->MakeWeChat(); }},
  };
  for (const auto& [name, call] : operations) {
    client->fail_on_call(name, 1);
    EXPECT_THROW(call(), OSError) << name;
    wx->SwitchToChat();
    wx->ChatWith("G");
  }
}

TEST_F(FaultsTest, ProbabilisticFaultsRepeatUnderTheSameSeed) {
  client->fail_with_probability("GetAllMessage", 0.5);
  auto first = failures(64);
  int failed = static_cast<int>(std::count(first.begin(), first.end(), true));
  EXPECT_GT(failed, 10);
  EXPECT_LT(failed, 54);

  auto again = make_sim_client(options);
  again->add_group("G", {});
  auto wx2 = again->driver()->MakeWeChat();
  again->fail_with_probability("GetAllMessage", 0.5);
  std::vector<bool> second;
  for (int i = 0; i < 64; ++i) {
    try {
      wx2->GetAllMessage();
      second.push_back(false);
    } catch (const OSError&) {
      second.push_back(true);
    }
  }
  EXPECT_EQ(first, second);

  options.seed = 99;
  auto other = make_sim_client(options);
  auto wx3 = other->driver()->MakeWeChat();
  other->fail_with_probability("GetAllMessage", 0.5);
  std::vector<bool> third;
  for (int i = 0; i < 64; ++i) {
    try {
      wx3->GetAllMessage();
      third.push_back(false);
    } catch (const OSError&) {
      third.push_back(true);
    }
  }
  EXPECT_NE(first, third);
}

TEST_F(FaultsTest, DownloadCanFailOrComeBackWithoutAPath) {
  wx->ChatWith("G");
  auto picture = wx->GetAllMessage().back();
  client->fail_on_call("download", 1);
  EXPECT_THROW(picture->download(), OSError);
  client->fail_on_call("download", 1, FaultEffect::EmptyResult);
  auto saved = picture->download();
  EXPECT_FALSE(saved.path);
  EXPECT_TRUE(picture->download().path);
}

TEST_F(FaultsTest, QuoteCanFail) {
  wx->ChatWith("G");
  auto picture = wx->GetAllMessage().back();
  client->fail_on_call("quote", 1);
  EXPECT_THROW(picture->quote("nice"), OSError);
  EXPECT_TRUE(client->sent().empty());
}

TEST_F(FaultsTest, ASearchFaultHidesTheControlFromThatOneOperation) {
  auto& uia = client->driver()->Uia();
  auto window = uia.WindowControl(uia::Search{.Name = "微信", .searchDepth = 1});
  client->fail_on_call("search:Window:微信", 2);
  EXPECT_TRUE(window->Exists(0, 0));
  EXPECT_FALSE(window->Exists(0, 0));
  EXPECT_TRUE(window->Exists(0, 0));
  client->fail_on_call("search:Window:微信", 1);
  EXPECT_THROW(window->SetActive(), LookupError);
}

TEST_F(FaultsTest, WindowActivationCanFail) {
  auto window = client->driver()->Uia().WindowControl(uia::Search{.Name = "微信", .searchDepth = 1});
  client->fail_on_call("SetTopmost", 1);
  EXPECT_TRUE(window->SetActive());
  EXPECT_THROW(window->SetTopmost(true), OSError);
}

TEST_F(FaultsTest, ClearingFaultsDisarmsThem) {
  client->fail_on_call("GetAllMessage", 1);
  client->fail_with_probability("GetAllMessage", 1.0);
  client->clear_faults();
  EXPECT_EQ(failures(3), (std::vector<bool>{false, false, false}));
}

}  // namespace
}  // namespace orvanta::sim

namespace orvanta::sim {
namespace {

// Faults that are not clean: a read that gives nothing although there is
// something, a send or an open that happens and still reports a failure.
TEST(UncleanFaultsTest, EmptyReadsAndCallsThatTakeEffectThenRaise) {
  SimOptions options;
  options.window_size = 2;
  options.load_step = 2;
  auto client = make_sim_client(options);
  client->add_group("G", {{"Alice", std::nullopt}});
  client->add_group("H", {});
  for (int i = 0; i < 6; ++i) client->post_own("G", "line " + std::to_string(i));
  auto wx = client->driver()->MakeWeChat();
  wx->ChatWith("G");
  const std::size_t shown = wx->GetAllMessage().size();

  client->fail_on_call("GetAllMessage", 1, FaultEffect::EmptyResult);
  EXPECT_TRUE(wx->GetAllMessage().empty());
  client->fail_on_call("LoadMoreMessage", 1, FaultEffect::EmptyResult);
  wx->LoadMoreMessage();
  EXPECT_EQ(wx->GetAllMessage().size(), shown) << "an empty load loaded lines";
  wx->LoadMoreMessage();
  EXPECT_GT(wx->GetAllMessage().size(), shown);

  client->fail_on_call("SendMsg", 1, FaultEffect::ErrorAfterEffect);
  EXPECT_THROW(wx->SendMsg("sent anyway", "G"), OSError);
  ASSERT_EQ(client->sent().size(), 1u);
  EXPECT_EQ(client->sent()[0].text, "sent anyway");

  client->fail_on_call("ChatWith", 1, FaultEffect::ErrorAfterEffect);
  EXPECT_THROW(wx->ChatWith("H"), OSError);
  EXPECT_EQ(client->current_chat(), "H");

  // A plain error changes nothing.
  client->fail_on_call("ChatWith", 1, FaultEffect::Error);
  EXPECT_THROW(wx->ChatWith("G"), OSError);
  EXPECT_EQ(client->current_chat(), "H");
}

}  // namespace
}  // namespace orvanta::sim

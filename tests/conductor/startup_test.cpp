// Start-up, registration and the shared state of the two libraries.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/store_operations.hpp"

namespace orvanta::conductor::testing {
namespace {

using boost::asio::awaitable;

void run(awaitable<void> task) {
  boost::asio::io_context loop;
  std::exception_ptr error;
  boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e) { error = e; });
  loop.run();
  if (error) std::rethrow_exception(error);
}

// Raises one event through each of robot's handler slots.
awaitable<void> raise_the_four_events() {
  co_await robot::deal_private_msg("Erin", "id1");
  co_await robot::handle_message_recall("id2", "G");
  co_await robot::deal_group_msg(Message("A001", "A001", "群管助手", "G", "1", "wechat", "text", "", "", "hi", "", ""));
  co_await robot::group_increase_func("Dave", "G");
}

// The conductor library sees the robot library's one config and handler
// slots: what the host (here, the test) sets through one is what the
// other uses.
TEST_F(ConductorTest, ConductorAndRobotShareConfigAndHandlerSlots) {
  config.my_wxName.set("群管助手");
  EXPECT_EQ(get_wx_name(), "群管助手");

  std::vector<std::string> seen;
  set_deal_private_msg([&](std::string chat, std::string id) -> awaitable<void> {
    seen.push_back("private:" + chat + ":" + id);
    co_return;
  });
  set_message_recall_func([&](std::string id, std::string group) -> awaitable<void> {
    seen.push_back("recall:" + id + ":" + group);
    co_return;
  });
  set_deal_group_msg([&](Message m) -> awaitable<void> {
    seen.push_back("group:" + m.content);
    co_return;
  });
  set_group_increase_func([&](std::string name, std::string group) -> awaitable<void> {
    seen.push_back("join:" + name + ":" + group);
    co_return;
  });
  run(raise_the_four_events());
  EXPECT_EQ(seen, (std::vector<std::string>{"private:Erin:id1", "recall:id2:G", "group:hi", "join:Dave:G"}));
  // (The consumer's tests show conductor's log lines reaching the sink
  // installed on robot's logger.)
}

TEST_F(ConductorTest, TheStoreFileIsBesideTheConductorLibrary) {
  const auto library = module_path();
  EXPECT_TRUE(std::filesystem::is_regular_file(library)) << library;
  EXPECT_NE(library.filename().string().find("orvanta_conductor"), std::string::npos) << library;
  EXPECT_EQ(store_path(), library.parent_path() / "wxChat.db");
}

TEST_F(ConductorTest, ServerMessagesGoToTheReplyInstalledAtEachCall) {
  std::vector<std::string> first, second;
  robot::reply = [&](Json m) { first.push_back(m.dump()); };
  const Json message{{"type", "send"}, {"content", "你好"}};
  run(handle_server_message(message));
  robot::reply = [&](Json m) { second.push_back(m.dump()); };
  run(handle_server_message(Json{{"n", 2}}));
  EXPECT_EQ(first, std::vector<std::string>{message.dump()});
  EXPECT_EQ(second, std::vector<std::string>{R"({"n":2})"});
  robot::reply = nullptr;
  EXPECT_THROW(run(handle_server_message(message)), AttributeError);
}

}  // namespace
}  // namespace orvanta::conductor::testing

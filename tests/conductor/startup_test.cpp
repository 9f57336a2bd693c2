// Start-up, registration and the shared state of the two libraries.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/running_loop.hpp"
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
  run(robot::deal_private_msg("Erin", "id1"));
  run(robot::handle_message_recall("id2", "G"));
  run(robot::deal_group_msg(Message("A001", "A001", "群管助手", "G", "1", "wechat", "text", "", "", "hi", "", "")));
  run(robot::group_increase_func("Dave", "G"));
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

// init on the host's loop, from a working directory elsewhere: the store is
// the file beside the library, emptied at every start, and a second start
// replaces the store and the driver.
TEST_F(ConductorTest, InitOpensTheStoreBesideTheLibraryAndEmptiesItAtEveryStart) {
  const auto old_dir = std::filesystem::current_path();
  const auto elsewhere = dir.path() / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  std::filesystem::current_path(elsewhere);
  struct Restore {
    std::filesystem::path dir;
    ~Restore() {
      std::filesystem::current_path(dir);
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(store_path().string() + suffix);
    }
  } restore{old_dir};
  config.reset();

  boost::asio::io_context host;
  RunningLoopScope scope(host);
  std::vector<std::shared_ptr<MessageDB>> stores;
  std::vector<std::shared_ptr<wxauto::WeChat>> drivers;
  for (int start = 0; start < 2; ++start) {
    init();
    stores.push_back(config.db.get());
    drivers.push_back(config.wx.get());
    EXPECT_TRUE(config.db.get()->get_all_messages(AllQuery{}).empty()) << "start " << start;
    config.db.get()->insert_messages(Json{{"group_name", "G"},
                                          {"type", "text"},
                                          {"content", "x"},
                                          {"sender", "A"},
                                          {"timestamp", "2024-1-1-0:0:0"},
                                          {"msg_id", "wx1"},
                                          {"quote_id", ""},
                                          {"quote_content", ""},
                                          {"recall_id", ""},
                                          {"image_url", ""},
                                          {"have_checked", "true"},
                                          {"status", ""},
                                          {"img_md5", ""}});
  }
  EXPECT_NE(stores[0], stores[1]);
  EXPECT_NE(drivers[0], drivers[1]);
  EXPECT_TRUE(std::filesystem::is_regular_file(store_path()));
  EXPECT_FALSE(std::filesystem::exists(elsewhere / "wxChat.db"));
  EXPECT_EQ(get_wx_name(), "群管助手");
  EXPECT_TRUE(client->force_message_xbias());
  // The daily clean-ups started on the host's loop and wait there.
  EXPECT_GT(host.poll(), 0u);
  EXPECT_FALSE(host.stopped());
}

TEST_F(ConductorTest, InitWithoutARunningLoopFailsAtItsLastStepWithAClearError) {
  config.reset();
  struct Remove {
    ~Remove() {
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(store_path().string() + suffix);
    }
  } remove;
  try {
    init();
    FAIL() << "init succeeded without a running loop";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("no running event loop", 0), 0u) << e.what();
  }
  // The steps before the last stay done.
  EXPECT_TRUE(config.db.has_value());
  EXPECT_EQ(get_wx_name(), "群管助手");
}

}  // namespace
}  // namespace orvanta::conductor::testing

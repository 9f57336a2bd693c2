// The group list of a scenario, served on 127.0.0.1 the way the system asks
// for it: a GET of the server's URL followed by the account name.

#include "orvanta/sim/group_list_server.hpp"

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

std::shared_ptr<SimClient> client_with(const Json& group_list, const Json& timeline = Json::array()) {
  auto client = make_sim_client();
  client->load_scenario({{"account", {{"nickname", "群管助手"}}}, {"group_list", group_list}, {"timeline", timeline}});
  return client;
}

TEST(GroupListServerTest, ServesTheScenariosListForTheAccount) {
  auto client = client_with({{"groups", {"产品交流群", {{"name", "技术讨论群"}, {"owner", "x"}}}}});
  GroupListServer server(client);
  EXPECT_TRUE(server.url().starts_with("http://127.0.0.1:" + std::to_string(server.port()) + "/"));
  Json answer = Json::parse(robot::http_get(server.url() + "群管助手"));
  EXPECT_EQ(answer, Json::parse(R"({"code": 200, "data": [{"name": "产品交流群"},
                                   {"name": "技术讨论群", "owner": "x"}]})"));
  EXPECT_EQ(server.requests(), std::vector<std::string>{"群管助手"});
}

TEST(GroupListServerTest, AnswersAsTheScenarioSaysOtherwise) {
  struct Case {
    Json group_list;
    std::string expected_body;
  };
  const std::vector<Case> cases = {
      {{{"groups", {"G"}}, {"code", "200"}}, R"({"code":"200","data":[{"name":"G"}]})"},
      {{{"groups", Json::array()}, {"code", 500}}, R"({"code":500,"data":[]})"},
      {{{"http_status", 502}, {"body", "<html>bad gateway</html>"}}, "<html>bad gateway</html>"},
      {{{"account", "someone else"}, {"groups", {"G"}}}, R"({"code": 404, "data": []})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group_list.dump());
    GroupListServer server(client_with(c.group_list));
    EXPECT_EQ(robot::http_get(server.url() + "群管助手"), c.expected_body);
  }
  GroupListServer failing(client_with({{"fail", true}}));
  EXPECT_THROW(robot::http_get(failing.url() + "群管助手"), OSError);
}

TEST(GroupListServerTest, AScenarioEventChangesTheListForLaterRequests) {
  auto client = client_with({{"groups", {"A"}}}, {{{"at", 100}, {"event", "group_list"}, {"groups", {"A", "B"}}}});
  GroupListServer server(client);
  EXPECT_EQ(Json::parse(robot::http_get(server.url() + "群管助手"))["data"].size(), 1u);
  client->advance_to(100);
  EXPECT_EQ(Json::parse(robot::http_get(server.url() + "群管助手"))["data"].size(), 2u);
  EXPECT_EQ(client->group_list().account, "群管助手");
}

}  // namespace
}  // namespace orvanta::sim

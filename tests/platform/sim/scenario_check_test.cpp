// Scenarios with a mistake are refused when they are loaded, with an error
// naming the file, the entry and the field, and nothing of them is applied.

#include <fstream>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

// The error loading `scenario` raises ("" when it loads).
std::string load_error(const std::string& scenario) {
  auto client = make_sim_client();
  try {
    client->load_scenario(Json::parse(scenario), "scenario.json");
  } catch (const ValueError& e) {
    // Nothing of a refused scenario was applied.
    EXPECT_EQ(client->pending_events(), 0u);
    EXPECT_THROW(client->unread("G"), LookupError);
    return e.what();
  }
  return "";
}

std::string with_timeline(const std::string& events) {
  return R"({"chats": [{"name": "G", "members": ["Ann"]}, {"name": "F", "type": "friend"}], "timeline": [)" + events +
         "]}";
}

TEST(ScenarioCheckTest, EachMistakeIsNamedByFileEntryAndField) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {with_timeline(R"({"at": 1, "event": "text", "chat": "G", "sender": "Ann", "text": "a", "id": "m1"},
                        {"at": 2, "event": "recall", "target": "m9"})"),
       R"(scenario.json: timeline[1] ("recall"): no line with id "m9")"},
      {with_timeline(R"({"at": 1, "event": "txt", "chat": "G"})"),
       R"(scenario.json: timeline[0] ("txt"): unknown event kind "txt")"},
      {with_timeline(R"({"at": 1, "event": "text", "chat": "X", "sender": "Ann"})"),
       R"(scenario.json: timeline[0] ("text"): no chat named "X")"},
      {with_timeline(R"({"at": 1, "event": "text", "chat": "G"})"),
       R"(scenario.json: timeline[0] ("text"): missing field "sender")"},
      {with_timeline(R"({"at": "soon", "event": "login"})"),
       R"(scenario.json: timeline[0] ("login"): field "at" must be a number)"},
      {with_timeline(R"({"at": 1, "event": "private", "chat": "G", "text": "hi"})"),
       R"(scenario.json: timeline[0] ("private"): "G" is a group, not a private chat)"},
      {with_timeline(R"({"at": 1, "event": "join", "chat": "F", "member": "Bo"})"),
       R"(scenario.json: timeline[0] ("join"): "F" is not a group)"},
      {with_timeline(R"({"at": 1, "event": "fault", "op": "ChatWith", "effect": "later"})"),
       R"(scenario.json: timeline[0] ("fault"): field "effect" must be "error", "empty" or "after")"},
      {with_timeline(R"({"on": {"nth": 2}, "event": "login"})"),
       R"(scenario.json: timeline[0] ("login"): on: missing field "op")"},
      {R"({"chats": [{"type": "group"}]})", R"(scenario.json: chats[0]: missing field "name")"},
      {R"({"options": {"window_size": "ten"}})",
       R"(scenario.json: options: field "window_size" must be a whole number)"},
      // A recall played before the line it names is posted.
      {with_timeline(R"({"at": 5, "event": "text", "chat": "G", "sender": "Ann", "id": "m1"},
                        {"at": 2, "event": "recall", "target": "m1"})"),
       R"(scenario.json: timeline[1] ("recall"): no line with id "m1")"},
  };
  for (const auto& [scenario, error] : cases) EXPECT_EQ(load_error(scenario), error) << scenario;
}

TEST(ScenarioCheckTest, SoundScenariosLoadAndTheExampleIsOne) {
  EXPECT_EQ(load_error(with_timeline(R"({"at": 1, "event": "text", "chat": "G", "sender": "Ann", "id": "m1"},
                                        {"on": {"op": "ChatWith"}, "event": "recall", "target": "m1"},
                                        {"at": 3, "event": "link", "chat": "G", "sender": "Ann", "text": "说明"})")),
            "");
  auto client = make_sim_client();
  EXPECT_NO_THROW(client->load_scenario_file(ORVANTA_EXAMPLE_SCENARIO));
}

TEST(ScenarioCheckTest, AFileThatIsNotJsonIsNamed) {
  const auto path = std::filesystem::temp_directory_path() / "orvanta-broken-scenario.json";
  std::ofstream(path) << "{\"timeline\": [";
  auto client = make_sim_client();
  try {
    client->load_scenario_file(path);
    ADD_FAILURE() << "a broken file loaded";
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("orvanta-broken-scenario.json: not valid JSON", 0), 0u) << e.what();
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace orvanta::sim

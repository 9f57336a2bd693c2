// The check of a scenario before it is loaded: every mistake a scenario can
// hold (an unknown event kind, chat or line id, a missing or mistyped field)
// is reported at load, naming the file, the entry and the field, instead of
// failing later inside a driver call.

#include <algorithm>
#include <set>

#include "model.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::sim {
namespace {

enum class Kind { Text, Bool, Number, Integer, List, Object, Any };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Text:
      return "a text";
    case Kind::Bool:
      return "true or false";
    case Kind::Number:
      return "a number";
    case Kind::Integer:
      return "a whole number";
    case Kind::List:
      return "a list";
    case Kind::Object:
      return "an object";
    case Kind::Any:
      return "a value";
  }
  return "a value";
}

bool is_kind(const Json& v, Kind kind) {
  switch (kind) {
    case Kind::Text:
      return v.is_string();
    case Kind::Bool:
      return v.is_boolean();
    case Kind::Number:
      return v.is_number();
    case Kind::Integer:
      return v.is_number_integer();
    case Kind::List:
      return v.is_array();
    case Kind::Object:
      return v.is_object();
    case Kind::Any:
      return true;
  }
  return false;
}

// Checks one entry (a chat, an event, ...) of the scenario; every error
// names the source, the entry and the field.
class Entry {
 public:
  Entry(const Json& j, std::string where) : j_(j), where_(std::move(where)) {}

  [[noreturn]] void fail(const std::string& what) const { throw ValueError(where_ + ": " + what); }

  // The field when present, checked for its kind.
  const Json* optional(const char* field, Kind kind) const {
    auto it = j_.find(field);
    if (it == j_.end()) return nullptr;
    if (!is_kind(*it, kind)) fail(std::string("field \"") + field + "\" must be " + kind_name(kind));
    return &*it;
  }

  const Json& required(const char* field, Kind kind) const {
    const Json* v = optional(field, kind);
    if (!v) fail(std::string("missing field \"") + field + "\"");
    return *v;
  }

  bool has(const char* field) const { return j_.contains(field); }
  const Json& json() const { return j_; }

 private:
  const Json& j_;
  const std::string where_;
};

const std::set<std::string> kLineKinds = {"text", "image",  "quote",   "private", "own",  "raw",  "join",
                                          "pat",  "system", "sticker", "file",    "link", "voice"};
const std::set<std::string> kOtherKinds = {"recall", "members",   "mute", "logout",     "login", "quit",
                                           "start",  "clipboard", "menu", "group_list", "fault"};

void check_members(const Entry& entry, const char* field) {
  const Json& members = entry.required(field, Kind::List);
  for (const Json& m : members) {
    if (m.is_string()) continue;
    if (!m.is_object() || !m.contains("name") || !m.at("name").is_string())
      entry.fail(std::string("field \"") + field + "\": each member must be a text or an object with a text \"name\"");
    if (m.contains("remark") && !m.at("remark").is_string() && !m.at("remark").is_null())
      entry.fail(std::string("field \"") + field + "\": a member's \"remark\" must be a text");
  }
}

void check_picture(const Entry& entry) {
  if (const Json* b = entry.optional("base64", Kind::Text)) {
    for (char c : b->get<std::string>()) {
      bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
                c == '=' || c == '\n' || c == '\r' || c == ' ';
      if (!ok) entry.fail("field \"base64\" is not valid base64");
    }
  }
  entry.optional("bytes", Kind::Text);
  entry.optional("file_name", Kind::Text);
}

void check_group_list(const Entry& entry) {
  if (const Json* groups = entry.optional("groups", Kind::List)) {
    for (const Json& g : *groups)
      if (!g.is_string() && !g.is_object()) entry.fail("field \"groups\": each group must be a text or an object");
  }
  entry.optional("http_status", Kind::Integer);
  entry.optional("body", Kind::Text);
  entry.optional("fail", Kind::Bool);
  entry.optional("account", Kind::Text);
}

}  // namespace

void Model::check_scenario_locked(const Json& scenario, const std::string& source) const {
  if (!scenario.is_object()) throw ValueError(source + ": a scenario must be a JSON object");
  Entry top(scenario, source);
  if (const Json* account = top.optional("account", Kind::Object))
    Entry(*account, source + ": account").optional("nickname", Kind::Text);
  if (const Json* opts = top.optional("options", Kind::Object)) {
    Entry o(*opts, source + ": options");
    o.optional("window_size", Kind::Integer);
    o.optional("load_step", Kind::Integer);
    o.optional("menu_delay", Kind::Number);
    o.optional("read_current_chat", Kind::Bool);
    o.optional("login_delay", Kind::Number);
    o.optional("strict_threads", Kind::Bool);
    o.optional("stale_references", Kind::Bool);
    o.optional("copy_delay", Kind::Number);
    o.optional("viewer_takes_clicks", Kind::Bool);
    if (const Json* size = o.optional("screen_size", Kind::Integer); size && size->is_number_integer() && *size < 0)
      o.fail("field \"screen_size\" must not be negative");
    if (const Json* seed = o.optional("seed", Kind::Integer); seed && seed->is_number_integer() && *seed < 0)
      o.fail("field \"seed\" must not be negative");
  }
  if (const Json* desktop = top.optional("desktop", Kind::Object)) {
    for (const char* side : {"before", "after"}) {
      const Json* windows = Entry(*desktop, source + ": desktop").optional(side, Kind::List);
      if (!windows) continue;
      for (std::size_t i = 0; i < windows->size(); ++i) {
        const Json& w = windows->at(i);
        std::string where = source + ": desktop." + side + "[" + std::to_string(i) + "]";
        if (!w.is_object()) throw ValueError(where + ": a window must be an object");
        Entry entry(w, where);
        entry.required("name", Kind::Text);
        entry.optional("class", Kind::Text);
        entry.optional("buttons", Kind::List);
        if (const Json* depth = entry.optional("button_depth", Kind::Integer); depth && *depth < 1)
          entry.fail("field \"button_depth\" must be at least 1");
      }
    }
  }

  // The chats the scenario can name: those it declares and those the client
  // already has; which of them are groups.
  std::map<std::string, bool> known;
  for (const Chat& chat : chats) {
    known[chat.name] = chat.group;
    if (chat.shown_name) known[*chat.shown_name] = chat.group;
  }
  if (const Json* list = top.optional("chats", Kind::List)) {
    for (std::size_t i = 0; i < list->size(); ++i) {
      const Json& c = list->at(i);
      std::string where = source + ": chats[" + std::to_string(i) + "]";
      if (!c.is_object()) throw ValueError(where + ": a chat must be an object");
      Entry entry(c, where);
      const std::string name = entry.required("name", Kind::Text);
      const Json* type = entry.optional("type", Kind::Text);
      entry.optional("muted", Kind::Bool);
      entry.optional("remark", Kind::Text);
      entry.optional("shown_name", Kind::Text);
      if (entry.has("members")) check_members(entry, "members");
      known[name] = !type || *type == "group";
      if (const Json* shown = entry.optional("shown_name", Kind::Text)) known[*shown] = known[name];
    }
  }
  if (const Json* list = top.optional("group_list", Kind::Object))
    check_group_list(Entry(*list, source + ": group_list"));

  const Json* timeline = top.optional("timeline", Kind::List);
  if (!timeline) return;
  // Ids come due in the order the timeline is played: timed events by their
  // time, events on a call at some call; an id is known to a timed event
  // when an earlier timed event (or any event on a call) defines it.
  struct Item {
    std::size_t index;
    double at;
    bool on_call;
  };
  std::vector<Item> order;
  std::set<std::string> ids_on_calls;
  for (std::size_t i = 0; i < timeline->size(); ++i) {
    const Json& e = timeline->at(i);
    std::string where = source + ": timeline[" + std::to_string(i) + "]";
    if (!e.is_object()) throw ValueError(where + ": an event must be an object");
    Entry entry(e, where);
    const std::string kind = entry.required("event", Kind::Text);
    where += " (\"" + kind + "\")";
    Entry event(e, where);
    if (!kLineKinds.count(kind) && !kOtherKinds.count(kind)) event.fail("unknown event kind \"" + kind + "\"");
    if (const Json* on = event.optional("on", Kind::Object)) {
      Entry trigger(*on, where + ": on");
      trigger.required("op", Kind::Text);
      if (const Json* nth = trigger.optional("nth", Kind::Integer); nth && *nth < 1)
        trigger.fail("field \"nth\" must be at least 1");
      if (event.has("at")) event.fail("an event has \"at\" or \"on\", not both");
      if (const Json* id = event.optional("id", Kind::Text)) ids_on_calls.insert(*id);
      order.push_back(Item{i, 0.0, true});
    } else {
      const Json* at = event.optional("at", Kind::Number);
      order.push_back(Item{i, at ? at->get<double>() : 0.0, false});
    }
  }
  std::stable_sort(order.begin(), order.end(), [](const Item& a, const Item& b) {
    if (a.on_call != b.on_call) return !a.on_call;
    return a.at < b.at;
  });

  std::set<std::string> ids = ids_on_calls;
  for (const Item& item : order) {
    const Json& e = timeline->at(item.index);
    const std::string kind = e.at("event");
    Entry event(e, source + ": timeline[" + std::to_string(item.index) + "] (\"" + kind + "\")");
    auto chat = [&](bool must_be_group) {
      const std::string name = event.required("chat", Kind::Text);
      auto it = known.find(name);
      if (it == known.end()) event.fail("no chat named \"" + name + "\"");
      if (must_be_group && !it->second) event.fail("\"" + name + "\" is not a group");
      return it->second;
    };
    auto line_id = [&](const char* field) {
      const std::string id = event.required(field, Kind::Text);
      if (!ids.count(id)) event.fail("no line with id \"" + id + "\"");
    };
    if (kind == "text") {
      chat(false);
      event.required("sender", Kind::Text);
      event.optional("text", Kind::Text);
    } else if (kind == "image") {
      chat(false);
      event.required("sender", Kind::Text);
      check_picture(event);
    } else if (kind == "quote") {
      chat(false);
      event.required("sender", Kind::Text);
      event.optional("text", Kind::Text);
      if (event.has("quoted_id")) {
        line_id("quoted_id");
      } else {
        event.required("quoted", Kind::Text);
      }
    } else if (kind == "private") {
      if (chat(false)) event.fail("\"" + e.at("chat").get<std::string>() + "\" is a group, not a private chat");
      event.optional("text", Kind::Text);
    } else if (kind == "own") {
      chat(false);
      event.optional("text", Kind::Text);
      check_picture(event);
      if (event.has("quoted_id")) line_id("quoted_id");
    } else if (kind == "raw") {
      chat(false);
      event.optional("content", Kind::Text);
      event.optional("sender", Kind::Text);
      event.optional("remark", Kind::Text);
      event.optional("quotable", Kind::Bool);
      event.optional("unread", Kind::Bool);
      check_picture(event);
      if (event.has("quoted_id")) line_id("quoted_id");
    } else if (kind == "recall") {
      line_id("target");
    } else if (kind == "join") {
      chat(true);
      if (event.has("members")) {
        check_members(event, "members");
      } else {
        event.required("member", Kind::Text);
      }
      event.optional("inviter", Kind::Text);
      event.optional("sharer", Kind::Text);
      if (event.has("inviter") && event.has("sharer")) event.fail("a join has an inviter or a sharer, not both");
      if (event.has("members") && !event.has("inviter")) event.fail("several members join only by invitation");
    } else if (kind == "pat" || kind == "system") {
      chat(false);
      event.optional("text", Kind::Text);
    } else if (kind == "sticker" || kind == "file" || kind == "link" || kind == "voice") {
      chat(false);
      event.optional("sender", Kind::Text);
      event.optional("text", Kind::Text);
    } else if (kind == "members") {
      chat(true);
      check_members(event, "members");
    } else if (kind == "mute") {
      chat(false);
      event.optional("muted", Kind::Bool);
    } else if (kind == "logout" || kind == "start") {
      event.optional("enter_button", Kind::Bool);
      event.optional("login_button", Kind::Bool);
    } else if (kind == "clipboard") {
      event.optional("held", Kind::Bool);
      event.optional("copy_delay", Kind::Number);
    } else if (kind == "menu") {
      event.optional("suppressed", Kind::Bool);
      event.optional("delay", Kind::Number);
    } else if (kind == "group_list") {
      check_group_list(event);
    } else if (kind == "fault") {
      event.required("op", Kind::Text);
      if (const Json* nth = event.optional("nth", Kind::Integer); nth && *nth < 1)
        event.fail("field \"nth\" must be at least 1");
      if (const Json* p = event.optional("probability", Kind::Number); p && (*p < 0.0 || *p > 1.0))
        event.fail("field \"probability\" must be between 0 and 1");
      if (const Json* effect = event.optional("effect", Kind::Text);
          effect && *effect != "error" && *effect != "empty" && *effect != "after")
        event.fail("field \"effect\" must be \"error\", \"empty\" or \"after\"");
    }
    if (const Json* id = event.optional("id", Kind::Text)) {
      if (!kLineKinds.count(kind)) event.fail("only an event that posts a line can have an \"id\"");
      ids.insert(*id);
    }
  }
}

}  // namespace orvanta::sim

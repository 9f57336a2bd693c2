#include "model.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <utility>

#include <unistd.h>

#include "internal.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::sim {
namespace {

constexpr auto kTimeSeparatorGap = std::chrono::minutes(5);
constexpr const char* kQuoteMarker = "引用  的消息 :";
constexpr const char* kRecallNotice = "撤回了一条消息";
constexpr const char* kUnreadDivider = "以下为新消息";

// One directory per client object (named by process and object address), so
// two clients in one process never share picture files.
std::filesystem::path default_files_dir(const void* owner) {
  auto address = reinterpret_cast<std::uintptr_t>(owner);
  return std::filesystem::temp_directory_path() /
         ("orvanta-sim-" + std::to_string(::getpid()) + "-" + std::to_string(address));
}

std::string clock_text(timing::SystemTime t) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

std::optional<std::string> optional_text(const Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  return it->get<std::string>();
}

std::vector<Member> members_from_json(const Json& list) {
  std::vector<Member> members;
  for (const Json& m : list) {
    if (m.is_string()) {
      members.push_back(Member{m.get<std::string>(), std::nullopt});
    } else {
      members.push_back(Member{m.at("name").get<std::string>(), optional_text(m, "remark")});
    }
  }
  return members;
}

std::vector<DesktopWindow> windows_from_json(const Json& list) {
  std::vector<DesktopWindow> windows;
  for (const Json& w : list) windows.push_back(DesktopWindow{w.at("name"), w.value("class", std::string())});
  return windows;
}

std::string decode_base64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=' || c == '\n' || c == '\r' || c == ' ') continue;
    int v = value(c);
    if (v < 0) throw ValueError("scenario: invalid base64 picture");
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

FaultEffect effect_from_json(const Json& event) {
  return event.value("effect", std::string("error")) == "empty" ? FaultEffect::EmptyResult : FaultEffect::Error;
}

}  // namespace

Model::Model(SimOptions opts)
    : options(std::move(opts)),
      faults(std::make_shared<FaultBoard>(options.seed)),
      clipboard(make_sim_clipboard(faults)),
      shell(make_sim_shell()) {
  if (options.files_dir.empty()) {
    options.files_dir = default_files_dir(this);
    owns_files_dir = true;
  }
  std::filesystem::create_directories(options.files_dir);
  play_start = timing::now();
}

Model::~Model() {
  if (!owns_files_dir) return;
  std::error_code ignored;
  std::filesystem::remove_all(options.files_dir, ignored);
}

// --- Chats ------------------------------------------------------------------

Chat* Model::find_chat_locked(const std::string& name) {
  for (Chat& chat : chats)
    if (chat.name == name) return &chat;
  return nullptr;
}

Chat& Model::chat_locked(const std::string& name) {
  Chat* chat = find_chat_locked(name);
  if (!chat) throw LookupError("no chat named '" + name + "'");
  return *chat;
}

Line* Model::find_line_locked(LineHandle uid) {
  for (Chat& chat : chats)
    for (Line& line : chat.lines)
      if (line.uid == uid) return &line;
  return nullptr;
}

Chat& Model::chat_of_line_locked(LineHandle uid) {
  for (Chat& chat : chats)
    for (const Line& line : chat.lines)
      if (line.uid == uid) return chat;
  throw LookupError("no line " + std::to_string(uid));
}

void Model::add_chat_locked(Chat chat) {
  if (Chat* existing = find_chat_locked(chat.name)) {
    existing->group = chat.group;
    existing->muted = chat.muted;
    existing->members = std::move(chat.members);
    existing->remark = std::move(chat.remark);
    return;
  }
  chats.push_back(std::move(chat));
}

// --- The world ----------------------------------------------------------------

LineHandle Model::append_locked(Chat& chat, Line line, bool marks_unread, timing::SystemTime t) {
  bool is_current = current && *current == chat.name && logged_in;
  if (is_current && options.read_current_chat) marks_unread = false;

  std::optional<LineHandle> first_of_post;
  // A time separator stands before the first line and before a line that
  // comes five minutes or more after the one before it.
  if (chat.lines.empty() || t - chat.lines.back().time >= kTimeSeparatorGap) {
    Line separator;
    separator.uid = next_uid++;
    separator.type = "base";
    separator.attr = "time";
    separator.content = clock_text(t);
    separator.time = t;
    first_of_post = separator.uid;
    chat.lines.push_back(std::move(separator));
    if (is_current) ++chat.shown;
  }
  line.uid = next_uid++;
  line.time = t;
  if (!first_of_post) first_of_post = line.uid;
  LineHandle uid = line.uid;
  chat.lines.push_back(std::move(line));
  if (is_current) ++chat.shown;

  if (marks_unread) {
    if (chat.unread == 0) chat.first_unread = first_of_post;
    ++chat.unread;
    chat.activity = ++activity_counter;
  }
  return uid;
}

LineHandle Model::post_member_line_locked(const std::string& chat_name, const std::string& sender, Line line,
                                          bool marks_unread, timing::SystemTime t) {
  Chat& chat = chat_locked(chat_name);
  line.attr = "friend";
  line.sender = sender;
  line.quotable = true;
  if (chat.group) {
    for (const Member& m : chat.members)
      if (m.name == sender) line.remark = m.remark;
  } else if (sender == chat.name) {
    line.remark = chat.remark;
  }
  return append_locked(chat, std::move(line), marks_unread, t);
}

LineHandle Model::post_text_locked(const std::string& chat, const std::string& sender, const std::string& text,
                                   bool marks_unread, timing::SystemTime t) {
  Line line;
  line.type = "text";
  line.content = text;
  return post_member_line_locked(chat, sender, std::move(line), marks_unread, t);
}

LineHandle Model::post_image_locked(const std::string& chat, const std::string& sender, std::string bytes,
                                    std::string file_name, bool marks_unread, timing::SystemTime t) {
  Line line;
  line.type = "image";
  line.content = "[图片]";
  line.bytes = std::make_shared<const std::string>(std::move(bytes));
  line.file_name = file_name.empty() ? "wx_image_" + std::to_string(next_uid) + ".jpg" : std::move(file_name);
  return post_member_line_locked(chat, sender, std::move(line), marks_unread, t);
}

LineHandle Model::post_quote_locked(const std::string& chat, const std::string& sender, const std::string& reply,
                                    const std::string& quoted, bool marks_unread, timing::SystemTime t) {
  Line line;
  line.type = "other";
  line.content = reply + "\n" + kQuoteMarker + " " + quoted;
  line.is_quote = true;
  return post_member_line_locked(chat, sender, std::move(line), marks_unread, t);
}

LineHandle Model::post_own_locked(const std::string& chat_name, const std::string& text, timing::SystemTime t) {
  Line line;
  line.type = "text";
  line.attr = "self";
  line.content = text;
  line.sender = options.nickname;
  line.quotable = true;
  return append_locked(chat_locked(chat_name), std::move(line), false, t);
}

LineHandle Model::post_system_locked(const std::string& chat_name, const std::string& type, const std::string& attr,
                                     const std::string& text, bool marks_unread, timing::SystemTime t) {
  Line line;
  line.type = type;
  line.attr = attr;
  line.content = text;
  return append_locked(chat_locked(chat_name), std::move(line), marks_unread, t);
}

LineHandle Model::join_locked(const std::string& group, const std::string& member,
                              const std::optional<std::string>& inviter, bool marks_unread, timing::SystemTime t) {
  Chat& chat = chat_locked(group);
  if (!chat.group) throw ValueError("'" + group + "' is not a group");
  bool known = std::any_of(chat.members.begin(), chat.members.end(), [&](const Member& m) { return m.name == member; });
  if (!known) chat.members.push_back(Member{member, std::nullopt});
  std::string text =
      inviter ? "\"" + *inviter + "\"邀请\"" + member + "\"加入了群聊" : "\"" + member + "\"通过扫描二维码加入群聊";
  return post_system_locked(group, "base", "system", text, marks_unread, t);
}

void Model::recall_locked(LineHandle uid) {
  Line* line = find_line_locked(uid);
  if (!line || !line->quotable) throw LookupError("no message " + std::to_string(uid) + " to recall");
  // The recalled message keeps its place in the window; only what it shows
  // changes.
  line->content = line->attr == "self" ? std::string("你") + kRecallNotice
                                       : "\"" + line->sender.value_or("") + "\" " + kRecallNotice;
  line->type = "base";
  line->attr = "system";
  line->sender.reset();
  line->remark.reset();
  line->quotable = false;
  line->is_quote = false;
  line->bytes.reset();
  if (menu && menu->line == uid) menu.reset();
}

void Model::logout_locked(bool enter, bool login) {
  logged_in = false;
  logout_stage = 1;
  enter_button = enter;
  login_button = login;
  current.reset();
  menu.reset();
  back_button = false;
  viewer_open = false;
}

void Model::login_locked() {
  logged_in = true;
  logout_stage = 0;
  page = "chat";
}

// --- The client as the system drives it ---------------------------------------

void Model::begin_locked(const std::string& operation) {
  play_due_locked();
  if (faults->check(operation)) throw OSError(operation + ": the client did not respond");
  if (!logged_in) throw LookupError(operation + ": the client's main window is not open");
}

void Model::open_chat_locked(Chat& chat) {
  bool reopening = current && *current == chat.name;
  if (!reopening) chat.shown = std::min(options.window_size, chat.lines.size());
  // The divider marks where the unread lines begin until the chat is opened
  // again.
  chat.divider_before = chat.unread > 0 ? chat.first_unread : std::nullopt;
  chat.unread = 0;
  chat.first_unread.reset();
  current = chat.name;
  page = "chat";
  menu.reset();
  back_button = false;
}

std::vector<Line> Model::view_locked(const Chat& chat) const {
  std::vector<Line> view;
  std::size_t shown = std::min(chat.shown, chat.lines.size());
  for (std::size_t i = chat.lines.size() - shown; i < chat.lines.size(); ++i) {
    const Line& line = chat.lines[i];
    if (chat.divider_before && *chat.divider_before == line.uid) {
      Line divider;
      divider.type = "base";
      divider.attr = "system";
      divider.content = kUnreadDivider;
      divider.time = line.time;
      view.push_back(std::move(divider));
    }
    view.push_back(line);
  }
  return view;
}

void Model::record_locked(std::string kind, std::string target) {
  actions.push_back(Action{std::move(kind), std::move(target)});
}

std::filesystem::path Model::write_picture_locked(const Line& line) {
  if (!line.bytes) throw OSError("the message holds no picture");
  std::filesystem::path path = options.files_dir / line.file_name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(line.bytes->data(), static_cast<std::streamsize>(line.bytes->size()));
  out.close();
  if (!out) throw OSError("cannot write " + path.string());
  return path;
}

// --- Scenarios ----------------------------------------------------------------

void Model::load_scenario_locked(const Json& scenario) {
  if (auto it = scenario.find("account"); it != scenario.end())
    options.nickname = it->value("nickname", options.nickname);
  if (auto it = scenario.find("options"); it != scenario.end()) {
    options.window_size = it->value("window_size", options.window_size);
    options.load_step = it->value("load_step", options.load_step);
    options.menu_delay = it->value("menu_delay", options.menu_delay);
    options.read_current_chat = it->value("read_current_chat", options.read_current_chat);
    if (it->contains("seed")) {
      options.seed = it->at("seed").get<std::uint64_t>();
      faults->reseed(options.seed);
    }
  }
  if (auto it = scenario.find("desktop"); it != scenario.end()) {
    if (it->contains("before")) options.windows_before = windows_from_json(it->at("before"));
    if (it->contains("after")) options.windows_after = windows_from_json(it->at("after"));
  }
  for (const Json& c : scenario.value("chats", Json::array())) {
    Chat chat;
    chat.name = c.at("name").get<std::string>();
    std::string type = c.value("type", std::string("group"));
    if (type != "group" && type != "friend") throw ValueError("scenario: chat type must be group or friend");
    chat.group = type == "group";
    chat.muted = c.value("muted", false);
    if (c.contains("members")) chat.members = members_from_json(c.at("members"));
    chat.remark = optional_text(c, "remark");
    add_chat_locked(std::move(chat));
  }
  timeline.clear();
  for (const Json& e : scenario.value("timeline", Json::array())) timeline.push_back(Event{e.value("at", 0.0), e});
  std::stable_sort(timeline.begin(), timeline.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
  next_event = 0;
  ids.clear();
  play_start = timing::now();
  play_due_locked();
}

void Model::play_due_locked() {
  if (next_event >= timeline.size()) return;
  double elapsed = std::chrono::duration<double>(timing::now() - play_start).count();
  while (next_event < timeline.size() && timeline[next_event].at <= elapsed) {
    const Event& event = timeline[next_event++];
    apply_event_locked(event.description, event.at);
  }
}

void Model::apply_event_locked(const Json& e, double at) {
  // Events carry their own time, so where they land in the window does not
  // depend on when the driver happened to look. Events before the start of
  // play are history the account has already read.
  auto t = play_start + std::chrono::duration_cast<timing::SystemTime::duration>(std::chrono::duration<double>(at));
  bool marks = at >= 0.0;
  const std::string kind = e.at("event").get<std::string>();
  auto chat = [&] { return e.at("chat").get<std::string>(); };
  auto text = [&] { return e.value("text", std::string()); };
  std::optional<LineHandle> posted;

  if (kind == "text") {
    posted = post_text_locked(chat(), e.at("sender"), text(), marks, t);
  } else if (kind == "image") {
    std::string bytes = e.contains("base64") ? decode_base64(e.at("base64")) : e.value("bytes", std::string());
    posted = post_image_locked(chat(), e.at("sender"), std::move(bytes), e.value("file_name", std::string()), marks, t);
  } else if (kind == "quote") {
    posted = post_quote_locked(chat(), e.at("sender"), text(), e.at("quoted"), marks, t);
  } else if (kind == "private") {
    posted = post_text_locked(chat(), chat(), text(), marks, t);
  } else if (kind == "own") {
    posted = post_own_locked(chat(), text(), t);
  } else if (kind == "recall") {
    const std::string target = e.at("target").get<std::string>();
    auto it = ids.find(target);
    if (it == ids.end()) throw ValueError("scenario: recall of unknown id '" + target + "'");
    recall_locked(it->second);
  } else if (kind == "join") {
    posted = join_locked(chat(), e.at("member"), optional_text(e, "inviter"), marks, t);
  } else if (kind == "pat") {
    posted = post_system_locked(chat(), "other", "base", text(), marks, t);
  } else if (kind == "system") {
    posted = post_system_locked(chat(), "base", "system", text(), marks, t);
  } else if (kind == "members") {
    Chat& group = chat_locked(chat());
    group.members = members_from_json(e.at("members"));
  } else if (kind == "mute") {
    chat_locked(chat()).muted = e.value("muted", true);
  } else if (kind == "logout") {
    logout_locked(e.value("enter_button", true), e.value("login_button", true));
  } else if (kind == "login") {
    login_locked();
  } else if (kind == "fault") {
    const std::string op = e.at("op").get<std::string>();
    if (e.contains("probability")) {
      faults->fail_with_probability(op, e.at("probability").get<double>(), effect_from_json(e));
    } else {
      faults->fail_on_call(op, e.value("nth", 1), effect_from_json(e));
    }
  } else {
    throw ValueError("scenario: unknown event '" + kind + "'");
  }
  if (posted && e.contains("id")) ids[e.at("id").get<std::string>()] = *posted;
}

}  // namespace orvanta::sim

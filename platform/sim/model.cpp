#include "model.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>
#include <utility>

#include <pthread.h>
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

// What a time separator shows, read at `now`: the time alone for today,
// "昨天 HH:MM" for yesterday, the weekday and the time within the week
// before, else the date and the time.
std::string separator_text(timing::SystemTime t, timing::SystemTime now) {
  auto local_day = [](timing::SystemTime at, std::tm& tm) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    localtime_r(&seconds, &tm);
    std::tm midnight = tm;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    return std::mktime(&midnight);
  };
  std::tm line{}, today{};
  const std::time_t line_day = local_day(t, line);
  const std::time_t this_day = local_day(now, today);
  const long days = std::lround(std::difftime(this_day, line_day) / 86400.0);
  const std::string hm = clock_text(t);
  if (days <= 0) return hm;
  if (days == 1) return "昨天 " + hm;
  if (days < 7) {
    static const char* const kWeekdays[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
    return std::string(kWeekdays[line.tm_wday]) + " " + hm;
  }
  return std::to_string(line.tm_year + 1900) + "年" + std::to_string(line.tm_mon + 1) + "月" +
         std::to_string(line.tm_mday) + "日 " + hm;
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
  for (const Json& w : list) {
    DesktopWindow window{w.at("name"), w.value("class", std::string())};
    window.buttons = w.value("buttons", std::vector<std::string>());
    window.button_depth = w.value("button_depth", 1);
    if (window.button_depth < 1) throw ValueError("scenario: a window's button_depth must be at least 1");
    windows.push_back(std::move(window));
  }
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

GroupList group_list_from_json(const Json& j) {
  GroupList list;
  list.account = j.value("account", std::string());
  for (const Json& g : j.value("groups", Json::array())) list.data.push_back(g.is_string() ? Json{{"name", g}} : g);
  if (j.contains("code")) list.code = j.at("code");
  list.http_status = j.value("http_status", 200);
  list.body = optional_text(j, "body");
  list.drop_connection = j.value("fail", false);
  return list;
}

std::string picture_bytes(const Json& event) {
  return event.contains("base64") ? decode_base64(event.at("base64")) : event.value("bytes", std::string());
}

bool has_picture(const Json& event) {
  return event.contains("base64") || event.contains("bytes");
}

FaultEffect effect_from_json(const Json& event) {
  const std::string effect = event.value("effect", std::string("error"));
  if (effect == "empty") return FaultEffect::EmptyResult;
  if (effect == "after") return FaultEffect::ErrorAfterEffect;
  return FaultEffect::Error;
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
  for (Chat& chat : chats)
    if (chat.shown_name == name) return &chat;
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
    existing->kind = chat.kind;
    existing->group = chat.group;
    existing->muted = chat.muted;
    existing->members = std::move(chat.members);
    existing->remark = std::move(chat.remark);
    existing->shown_name = std::move(chat.shown_name);
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
  line.marked_unread = marks_unread;
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

std::string Model::quoted_text(const Line& line) {
  if (!line.is_quote) return line.content;
  // A reply is quoted by its own text, without what it quotes in turn.
  std::string marker = std::string("\n") + kQuoteMarker;
  return line.content.substr(0, line.content.find(marker));
}

LineHandle Model::post_quote_of_locked(const std::string& chat_name, const std::optional<std::string>& sender,
                                       const std::string& reply, LineHandle quoted, bool marks_unread,
                                       timing::SystemTime t) {
  Chat& chat = chat_locked(chat_name);
  const Line* target = nullptr;
  for (const Line& line : chat.lines)
    if (line.uid == quoted) target = &line;
  if (!target || !target->quotable)
    throw LookupError("no message " + std::to_string(quoted) + " in '" + chat_name + "'");
  Line line;
  line.type = "other";
  line.content = reply + "\n" + kQuoteMarker + " " + quoted_text(*target);
  line.is_quote = true;
  line.quotes = quoted;
  if (sender) return post_member_line_locked(chat_name, *sender, std::move(line), marks_unread, t);
  return append_own_locked(chat, std::move(line), t);
}

LineHandle Model::post_own_image_locked(const std::string& chat, std::string bytes, std::string file_name,
                                        timing::SystemTime t) {
  Line line;
  line.type = "image";
  line.content = "[图片]";
  line.bytes = std::make_shared<const std::string>(std::move(bytes));
  line.file_name = file_name.empty() ? "wx_image_" + std::to_string(next_uid) + ".jpg" : std::move(file_name);
  return append_own_locked(chat_locked(chat), std::move(line), t);
}

LineHandle Model::post_raw_locked(const std::string& chat_name, RawLine raw, bool history, timing::SystemTime t) {
  Chat& chat = chat_locked(chat_name);
  Line line;
  line.raw = true;
  // type and attr steer the client's own handling (recall notices, the
  // context menu); they come from the info when it says them as texts.
  auto text_of = [&](const char* key) -> std::optional<std::string> {
    if (!raw.info || !raw.info->is_object()) return std::nullopt;
    auto it = raw.info->find(key);
    if (it == raw.info->end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  line.type = text_of("type").value_or("");
  line.attr = text_of("attr").value_or("");
  // The list entry shows the content attribute, else the info's content.
  line.content = raw.content ? *raw.content : text_of("content").value_or("");
  line.sender = raw.sender;
  line.remark = raw.remark;
  line.quotable = raw.quotable.value_or(raw.sender.has_value());
  if (raw.bytes) line.bytes = std::make_shared<const std::string>(std::move(*raw.bytes));
  line.file_name = raw.file_name.empty() ? "wx_image_" + std::to_string(next_uid) + ".jpg" : std::move(raw.file_name);
  if (raw.quotes) {
    if (!find_line_locked(*raw.quotes)) throw LookupError("no line " + std::to_string(*raw.quotes));
    line.quotes = raw.quotes;
    line.is_quote = true;
  }
  line.raw_info = std::move(raw.info);
  line.raw_content = std::move(raw.content);
  bool marks = !history && raw.marks_unread.value_or(line.attr != "self");
  return append_locked(chat, std::move(line), marks, t);
}

LineHandle Model::post_special_locked(const std::string& chat_name, const std::optional<std::string>& sender,
                                      const std::string& kind, const std::string& title, bool marks_unread,
                                      timing::SystemTime t) {
  // The shown marker of each kind, and the info type the client gives it
  // (the types are a guess).
  static const std::map<std::string, std::pair<std::string, std::string>> kKinds = {
      {"sticker", {"[动画表情]", "emotion"}},
      {"file", {"[文件]", "file"}},
      {"link", {"[链接]", "link"}},
      {"voice", {"[语音]", "voice"}}};
  auto it = kKinds.find(kind);
  if (it == kKinds.end()) throw ValueError("no line kind '" + kind + "'");
  Line line;
  line.type = it->second.second;
  line.content = it->second.first + (title.empty() ? "" : " " + title);
  if (sender) return post_member_line_locked(chat_name, *sender, std::move(line), marks_unread, t);
  return append_own_locked(chat_locked(chat_name), std::move(line), t);
}

LineHandle Model::append_own_locked(Chat& chat, Line line, timing::SystemTime t) {
  line.attr = "self";
  line.sender = options.nickname;
  line.quotable = true;
  return append_locked(chat, std::move(line), false, t);
}

LineHandle Model::post_own_locked(const std::string& chat_name, const std::string& text, timing::SystemTime t) {
  Line line;
  line.type = "text";
  line.content = text;
  return append_own_locked(chat_locked(chat_name), std::move(line), t);
}

LineHandle Model::post_system_locked(const std::string& chat_name, const std::string& type, const std::string& attr,
                                     const std::string& text, bool marks_unread, timing::SystemTime t) {
  Line line;
  line.type = type;
  line.attr = attr;
  line.content = text;
  return append_locked(chat_locked(chat_name), std::move(line), marks_unread, t);
}

LineHandle Model::join_locked(const std::string& group, const std::vector<std::string>& members,
                              const std::optional<std::string>& inviter, const std::optional<std::string>& sharer,
                              bool marks_unread, timing::SystemTime t) {
  Chat& chat = chat_locked(group);
  if (!chat.group) throw ValueError("'" + group + "' is not a group");
  if (members.empty()) throw ValueError("a join notice needs a member");
  if (inviter && sharer) throw ValueError("a join notice has an inviter or a sharer, not both");
  if (!inviter && members.size() > 1) throw ValueError("only an invitation brings several members at once");
  std::string names;
  for (const std::string& member : members) {
    if (!names.empty()) names += "、";
    names += member;
    bool known =
        std::any_of(chat.members.begin(), chat.members.end(), [&](const Member& m) { return m.name == member; });
    if (!known) chat.members.push_back(Member{member, std::nullopt});
  }
  std::string text;
  if (inviter && *inviter == options.nickname) {
    text = "你邀请\"" + names + "\"加入了群聊";
  } else if (inviter && names == options.nickname) {
    text = "\"" + *inviter + "\"邀请你加入了群聊";
  } else if (inviter) {
    text = "\"" + *inviter + "\"邀请\"" + names + "\"加入了群聊";
  } else if (sharer) {
    text = "\"" + names + "\"通过扫描\"" + *sharer + "\"分享的二维码加入群聊";
  } else {
    text = "\"" + names + "\"通过扫描二维码加入群聊";
  }
  return post_system_locked(group, "base", "system", text, marks_unread, t);
}

void Model::recall_locked(LineHandle uid) {
  Line* line = find_line_locked(uid);
  if (!line || !line->quotable) throw LookupError("no message " + std::to_string(uid) + " to recall");
  // A recalled line no longer counts as unread; a chat whose only unread
  // line was recalled is no longer unread (a guess at the real client).
  Chat& chat = chat_of_line_locked(uid);
  if (line->marked_unread && chat.unread > 0 && chat.first_unread && uid >= *chat.first_unread) {
    line->marked_unread = false;
    if (--chat.unread == 0) chat.first_unread.reset();
  }
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
  line->quotes.reset();
  line->bytes.reset();
  line->raw = false;
  line->raw_info.reset();
  line->raw_content.reset();
  if (menu && menu->line == uid) menu.reset();
}

void Model::logout_locked(bool enter, bool login) {
  if (!running) return;
  ++list_generation;
  logged_in = false;
  login_at.reset();
  login_stage = LoginStage::Notice;
  enter_button = enter;
  login_button = login;
  current.reset();
  menu.reset();
  back_button = false;
  viewer_open = false;
}

void Model::login_locked() {
  ++list_generation;
  running = true;
  logged_in = true;
  login_stage = LoginStage::None;
  login_at.reset();
  page = Page::Chat;
}

void Model::quit_locked() {
  ++list_generation;
  logout_locked(true, true);
  running = false;
  login_stage = LoginStage::None;
}

void Model::start_locked(bool enter, bool login) {
  if (running) return;
  running = true;
  logged_in = false;
  login_stage = LoginStage::Buttons;  // a fresh client shows the login buttons at once
  enter_button = enter;
  login_button = login;
}

void Model::begin_login_locked() {
  if (options.login_delay <= 0.0) {
    login_locked();
    return;
  }
  login_stage = LoginStage::LoggingIn;
  login_at = timing::now() + std::chrono::duration_cast<timing::SystemTime::duration>(
                                 std::chrono::duration<double>(options.login_delay));
}

// --- The client as the system drives it ---------------------------------------

std::optional<FaultEffect> Model::begin_locked(const std::string& operation, bool partial) {
  play_due_locked();
  auto fault = faults->check(operation);
  if (fault && (*fault == FaultEffect::Error || !partial)) throw OSError(operation + ": the client did not respond");
  if (!running) throw LookupError(operation + ": the client is not running");
  if (!logged_in) throw LookupError(operation + ": the client's main window is not open");
  return fault;
}

void Model::open_chat_locked(Chat& chat) {
  bool reopening = current && *current == chat.name;
  if (!reopening) {
    ++list_generation;
    chat.shown = std::min(options.window_size, chat.lines.size());
    // Coming from another chat: the divider stands above the first unread
    // line, or is gone when the chat had been read.
    chat.divider_before = chat.unread > 0 ? chat.first_unread : std::nullopt;
  } else if (!chat.divider_before && chat.unread > 0) {
    // Opening the open chat again keeps its divider where it is; one appears
    // only when there was none.
    chat.divider_before = chat.first_unread;
  }
  // Opening a chat, the open one too, shows its newest entries.
  chat.scroll_top.reset();
  chat.unread = 0;
  chat.first_unread.reset();
  current = chat.name;
  page = Page::Chat;
  menu.reset();
  back_button = false;
}

Line* Model::shown_line_locked(const std::string& chat_name, LineHandle uid) {
  Line* live = find_line_locked(uid);
  Chat* chat = find_chat_locked(chat_name);
  if (!live || !chat || !logged_in || current != chat_name || page != Page::Chat) return nullptr;
  for (const Line& shown : view_locked(*chat))
    if (shown.uid == uid) return live;
  return nullptr;
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
    if (line.attr == "time" && !line.raw) view.back().content = separator_text(line.time, timing::now());
  }
  return view;
}

std::pair<std::size_t, std::size_t> Model::screen_locked(const Chat& chat, std::size_t entries) const {
  const std::size_t fits = options.screen_size;
  if (fits == 0 || entries <= fits) return {0, entries};
  const std::size_t bottom_top = entries - fits;
  const std::size_t top = chat.scroll_top ? std::min(*chat.scroll_top, bottom_top) : bottom_top;
  return {top, top + fits};
}

void Model::record_locked(std::string kind, std::string target) {
  actions.push_back(Action{std::move(kind), std::move(target), std::this_thread::get_id(), this_thread_name()});
}

std::filesystem::path Model::write_picture_locked(const Line& line) {
  if (!line.bytes) throw OSError("the message holds no picture");
  // Every save writes a file of its own, as the real client's saved files
  // do: a name already taken gets " (1)", " (2)", ... before its extension.
  const std::filesystem::path name(line.file_name);
  std::filesystem::path path = options.files_dir / name;
  for (int n = 1; std::filesystem::exists(path); ++n)
    path = options.files_dir / (name.stem().string() + " (" + std::to_string(n) + ")" + name.extension().string());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(line.bytes->data(), static_cast<std::streamsize>(line.bytes->size()));
  out.close();
  if (!out) throw OSError("cannot write " + path.string());
  return path;
}

std::string this_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
  return name;
}

std::string this_thread_label() {
  std::ostringstream id;
  id << std::this_thread::get_id();
  std::string name = this_thread_name();
  return name.empty() ? id.str() : name + " (" + id.str() + ")";
}

void Model::begin_call(const std::string& operation) {
  const auto self = std::this_thread::get_id();
  std::lock_guard guard(mu);
  for (const auto& [thread, call] : in_progress) {
    if (thread == self) continue;
    ThreadViolation v{this_thread_label(), operation, call.thread, call.op, {}};
    v.message = "two threads drive the client at once: " + v.call + " on thread " + v.thread + " while " +
                v.other_call + " on thread " + v.other_thread + " is in progress";
    thread_violations.push_back(v);
    if (options.strict_threads) throw ThreadError(v.message);
    break;
  }
  CallInProgress& mine = in_progress[self];
  if (mine.depth++ == 0) {
    mine.thread = this_thread_label();
    mine.op = operation;
  }
}

void Model::end_call() {
  std::lock_guard guard(mu);
  auto it = in_progress.find(std::this_thread::get_id());
  if (it != in_progress.end() && --it->second.depth == 0) in_progress.erase(it);
}

void Model::announce_call(const std::string& operation) {
  std::function<void(const std::string&, int)> hook;
  std::vector<std::function<void()>> due;
  int nth = 0;
  {
    std::lock_guard guard(mu);
    nth = ++call_counts[operation];
    // Scenario events keyed to this call, in the order the scenario gives
    // them.
    for (auto it = call_events.begin(); it != call_events.end();) {
      if (it->op == operation && it->at_count == nth) {
        Json description = std::move(it->description);
        it = call_events.erase(it);
        double at = std::chrono::duration<double>(timing::now() - play_start).count();
        apply_event_locked(description, std::max(0.0, at));
      } else {
        ++it;
      }
    }
    for (auto it = call_triggers.begin(); it != call_triggers.end();) {
      if (it->op == operation && it->at_count == nth) {
        due.push_back(std::move(it->action));
        it = call_triggers.erase(it);
      } else {
        ++it;
      }
    }
    hook = call_hook;
  }
  for (auto& action : due) action();
  if (hook) hook(operation, nth);
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
    options.login_delay = it->value("login_delay", options.login_delay);
    options.strict_threads = it->value("strict_threads", options.strict_threads);
    options.stale_references = it->value("stale_references", options.stale_references);
    options.screen_size = it->value("screen_size", options.screen_size);
    options.copy_delay = it->value("copy_delay", options.copy_delay);
    options.viewer_takes_clicks = it->value("viewer_takes_clicks", options.viewer_takes_clicks);
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
    const Json type = c.value("type", Json("group"));
    if (!type.is_string()) throw ValueError("scenario: a chat's type must be a text");
    chat.kind = type.get<std::string>();
    chat.group = chat.kind == "group";
    chat.muted = c.value("muted", false);
    if (c.contains("members")) chat.members = members_from_json(c.at("members"));
    chat.remark = optional_text(c, "remark");
    chat.shown_name = optional_text(c, "shown_name");
    add_chat_locked(std::move(chat));
  }
  if (auto it = scenario.find("group_list"); it != scenario.end()) group_list = group_list_from_json(*it);
  timeline.clear();
  call_events.clear();
  for (const Json& e : scenario.value("timeline", Json::array())) {
    if (auto on = e.find("on"); on != e.end()) {
      // Counted from the loading of the scenario: "nth": 2 is the second
      // call of the operation after it.
      const std::string op = on->at("op").get<std::string>();
      call_events.push_back(CallEvent{op, call_counts[op] + on->value("nth", 1), e});
    } else {
      timeline.push_back(Event{e.value("at", 0.0), e});
    }
  }
  std::stable_sort(timeline.begin(), timeline.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
  next_event = 0;
  ids.clear();
  play_start = timing::now();
  play_due_locked();
}

void Model::play_due_locked() {
  if (next_event < timeline.size()) {
    double elapsed = std::chrono::duration<double>(timing::now() - play_start).count();
    while (next_event < timeline.size() && timeline[next_event].at <= elapsed) {
      const Event& event = timeline[next_event++];
      apply_event_locked(event.description, event.at);
    }
  }
  if (login_at && timing::now() >= *login_at) login_locked();
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
  auto line_of_id = [&](const char* key) {
    const std::string id = e.at(key).get<std::string>();
    auto it = ids.find(id);
    if (it == ids.end()) throw ValueError("scenario: " + kind + " names unknown id '" + id + "'");
    return it->second;
  };
  std::optional<LineHandle> posted;

  if (kind == "text") {
    posted = post_text_locked(chat(), e.at("sender"), text(), marks, t);
  } else if (kind == "image") {
    posted = post_image_locked(chat(), e.at("sender"), picture_bytes(e), e.value("file_name", std::string()), marks, t);
  } else if (kind == "quote") {
    if (e.contains("quoted_id")) {
      posted =
          post_quote_of_locked(chat(), e.at("sender").get<std::string>(), text(), line_of_id("quoted_id"), marks, t);
    } else {
      posted = post_quote_locked(chat(), e.at("sender"), text(), e.at("quoted"), marks, t);
    }
  } else if (kind == "private") {
    posted = post_text_locked(chat(), chat(), text(), marks, t);
  } else if (kind == "own") {
    if (has_picture(e)) {
      posted = post_own_image_locked(chat(), picture_bytes(e), e.value("file_name", std::string()), t);
    } else if (e.contains("quoted_id")) {
      posted = post_quote_of_locked(chat(), std::nullopt, text(), line_of_id("quoted_id"), false, t);
    } else {
      posted = post_own_locked(chat(), text(), t);
    }
  } else if (kind == "raw") {
    RawLine raw;
    if (e.contains("info")) raw.info = e.at("info");
    raw.content = optional_text(e, "content");
    raw.sender = optional_text(e, "sender");
    raw.remark = optional_text(e, "remark");
    if (e.contains("quotable")) raw.quotable = e.at("quotable").get<bool>();
    if (has_picture(e)) raw.bytes = picture_bytes(e);
    raw.file_name = e.value("file_name", std::string());
    if (e.contains("quoted_id")) raw.quotes = line_of_id("quoted_id");
    if (e.contains("unread")) raw.marks_unread = e.at("unread").get<bool>();
    posted = post_raw_locked(chat(), std::move(raw), !marks, t);
  } else if (kind == "recall") {
    recall_locked(line_of_id("target"));
  } else if (kind == "join") {
    std::vector<std::string> members = e.contains("members") ? e.at("members").get<std::vector<std::string>>()
                                                             : std::vector{e.at("member").get<std::string>()};
    posted = join_locked(chat(), members, optional_text(e, "inviter"), optional_text(e, "sharer"), marks, t);
  } else if (kind == "sticker" || kind == "file" || kind == "link" || kind == "voice") {
    posted = post_special_locked(chat(), optional_text(e, "sender"), kind, text(), marks && e.contains("sender"), t);
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
  } else if (kind == "quit") {
    quit_locked();
  } else if (kind == "start") {
    start_locked(e.value("enter_button", true), e.value("login_button", true));
  } else if (kind == "clipboard") {
    if (e.contains("held") || !e.contains("copy_delay")) clipboard->hold_by_other_program(e.value("held", true));
    if (e.contains("copy_delay")) options.copy_delay = e.at("copy_delay").get<double>();
  } else if (kind == "menu") {
    if (e.contains("suppressed")) menu_suppressed = e.at("suppressed").get<bool>();
    if (e.contains("delay")) options.menu_delay = e.at("delay").get<double>();
  } else if (kind == "group_list") {
    group_list = group_list_from_json(e);
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

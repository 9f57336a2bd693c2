// The driver package over the model (the client object, its window
// messages, the image viewer, the window finder and the automation module),
// and the test-facing client object that owns them.

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include "model.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/platform.hpp"

namespace orvanta::sim {
namespace {

// A message as GetAllMessage saw it. Reading it gives the snapshot; quote
// and download act on the client as it is now.
class SimWindowMessage final : public wxauto::WindowMessage {
 public:
  SimWindowMessage(std::shared_ptr<Model> model, std::string chat, Line line, std::uint64_t generation)
      : model_(std::move(model)), chat_(std::move(chat)), line_(std::move(line)), generation_(generation) {}

  std::optional<std::string> sender() const override { return line_.sender; }
  std::optional<std::string> sender_remark() const override { return line_.remark; }
  std::optional<std::string> content() const override { return line_.raw ? line_.raw_content : line_.content; }

  std::optional<Json> info() const override {
    if (line_.raw) return line_.raw_info;
    Json info = Json::object();
    info["type"] = line_.type;
    info["content"] = line_.content;
    info["attr"] = line_.attr;
    return info;
  }

  bool has_quote() const override { return line_.quotable; }

  void quote(const std::string& text, const std::optional<std::string>& at) override {
    CallScope scope(*model_, "quote");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("quote");
    if (!line_.quotable) throw AttributeError("this message cannot be quoted");
    if (model_->stale_locked(generation_)) throw LookupError("quote: the message list was rebuilt since it was read");
    Line* live = model_->shown_line_locked(chat_, line_.uid);
    if (!live || !live->quotable) throw LookupError("quote: the message is not in the open chat window");
    std::string mention = at && !at->empty() ? Model::mention_text(*at) : "";
    std::string quoted = Model::quoted_text(*live);
    Line reply;
    reply.type = "other";
    reply.content = mention + text + "\n引用  的消息 : " + quoted;
    reply.is_quote = true;
    reply.quotes = line_.uid;
    Chat& chat = model_->chat_locked(chat_);
    model_->append_own_locked(chat, std::move(reply), timing::now());
    // Sending from the window brings its newest entries back on screen.
    chat.scroll_top.reset();
    model_->sent.push_back(SentMessage{chat_, text, at && !at->empty() ? at : std::nullopt, std::move(quoted)});
  }

  wxauto::Download download() override {
    CallScope scope(*model_, "download");
    std::lock_guard guard(model_->mu);
    model_->play_due_locked();
    auto fault = model_->faults->check("download");
    if (fault == FaultEffect::Error) throw OSError("download: the picture could not be saved");
    if (!model_->running || !model_->logged_in) throw LookupError("download: the client's main window is not open");
    if (!line_.bytes) throw ValueError("download: the message is not a picture");
    if (model_->stale_locked(generation_))
      throw LookupError("download: the message list was rebuilt since it was read");
    // Saving goes through the message as the window shows it now: a picture
    // that left the open window, or was recalled, cannot be saved.
    const Line* live = model_->shown_line_locked(chat_, line_.uid);
    if (!live || !live->bytes) throw LookupError("download: the picture is not in the open chat window");
    model_->record_locked("download", line_.file_name);
    if (fault == FaultEffect::EmptyResult) return wxauto::Download{std::nullopt, line_.file_name};
    return wxauto::Download{model_->write_picture_locked(line_).string(), line_.file_name};
  }

 private:
  const std::shared_ptr<Model> model_;
  const std::string chat_;
  const Line line_;
  // The list generation it was read in.
  const std::uint64_t generation_;
};

class SimWeChat final : public wxauto::WeChat {
 public:
  explicit SimWeChat(std::shared_ptr<Model> model) : model_(std::move(model)) {}

  std::string nickname() const override {
    std::lock_guard guard(model_->mu);
    return model_->options.nickname;
  }

  Json GetNextNewMessage(bool filter_mute) override {
    CallScope scope(*model_, "GetNextNewMessage");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("GetNextNewMessage");
    // The poll reads the chat list, which the contacts page does not show
    // (a guess at the real client's answer there: nothing new).
    if (model_->page != Page::Chat) {
      model_->record_locked("GetNextNewMessage", "");
      return Json::object();
    }
    Chat* next = nullptr;
    for (Chat& chat : model_->chats) {
      if (chat.unread == 0 || (filter_mute && chat.muted)) continue;
      if (!next || chat.activity > next->activity) next = &chat;
    }
    if (!next) {
      model_->record_locked("GetNextNewMessage", "");
      return Json::object();
    }
    std::string msg;
    for (auto it = next->lines.rbegin(); it != next->lines.rend(); ++it) {
      if (it->attr != "time") {
        msg = it->content;
        break;
      }
    }
    model_->open_chat_locked(*next);
    Json result = Json::object();
    result["chat_name"] = next->shown_name.value_or(next->name);
    result["chat_type"] = next->kind;
    result["msg"] = msg;
    model_->record_locked("GetNextNewMessage", next->name);
    return result;
  }

  void ChatWith(const std::string& who) override {
    CallScope scope(*model_, "ChatWith");
    std::lock_guard guard(model_->mu);
    auto fault = model_->begin_locked("ChatWith", true);
    if (fault == FaultEffect::EmptyResult) throw OSError("ChatWith: the client did not respond");
    model_->open_chat_locked(model_->chat_locked(who));
    model_->record_locked("ChatWith", who);
    if (fault) throw OSError("ChatWith: the client did not respond");
  }

  void SwitchToChat() override {
    CallScope scope(*model_, "SwitchToChat");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("SwitchToChat");
    model_->page = Page::Chat;
    model_->record_locked("SwitchToChat", "");
  }

  void SwitchToContact() override {
    CallScope scope(*model_, "SwitchToContact");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("SwitchToContact");
    model_->page = Page::Contact;
    model_->menu.reset();
    model_->record_locked("SwitchToContact", "");
  }

  std::vector<std::string> CollectAllGroupNames() override {
    CallScope scope(*model_, "CollectAllGroupNames");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("CollectAllGroupNames");
    // The group names are read from the contacts page.
    if (model_->page != Page::Contact) throw LookupError("CollectAllGroupNames: the contacts page is not shown");
    std::vector<std::string> names;
    for (const Chat& chat : model_->chats)
      if (chat.group) names.push_back(chat.name);
    model_->record_locked("CollectAllGroupNames", "");
    return names;
  }

  wxauto::WindowMessages GetAllMessage() override {
    CallScope scope(*model_, "GetAllMessage");
    std::lock_guard guard(model_->mu);
    auto fault = model_->begin_locked("GetAllMessage", true);
    if (fault == FaultEffect::ErrorAfterEffect) throw OSError("GetAllMessage: the client did not respond");
    // The message list is on the chat page only.
    if (model_->page != Page::Chat) throw LookupError("GetAllMessage: the message list is not shown");
    model_->record_locked("GetAllMessage", model_->current.value_or(""));
    wxauto::WindowMessages messages;
    if (!model_->current || fault == FaultEffect::EmptyResult) return messages;
    const Chat& chat = model_->chat_locked(*model_->current);
    for (Line& line : model_->view_locked(chat))
      messages.push_back(
          std::make_shared<SimWindowMessage>(model_, chat.name, std::move(line), model_->list_generation));
    return messages;
  }

  void LoadMoreMessage() override {
    CallScope scope(*model_, "LoadMoreMessage");
    std::lock_guard guard(model_->mu);
    auto fault = model_->begin_locked("LoadMoreMessage", true);
    if (fault == FaultEffect::ErrorAfterEffect) throw OSError("LoadMoreMessage: the client did not respond");
    if (model_->page != Page::Chat) throw LookupError("LoadMoreMessage: the message list is not shown");
    model_->record_locked("LoadMoreMessage", model_->current.value_or(""));
    if (!model_->current) return;
    // Loading is scrolling to the top: the screen then shows the oldest
    // loaded entries, also when nothing more came.
    Chat& chat = model_->chat_locked(*model_->current);
    chat.scroll_top = 0;
    if (fault == FaultEffect::EmptyResult) return;
    chat.shown = std::min(chat.lines.size(), chat.shown + model_->options.load_step);
  }

  std::vector<std::string> GetGroupMembers() override {
    CallScope scope(*model_, "GetGroupMembers");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("GetGroupMembers");
    Chat* chat = model_->current ? model_->find_chat_locked(*model_->current) : nullptr;
    if (!chat || !chat->group) throw LookupError("GetGroupMembers: no group chat is open");
    std::vector<std::string> names;
    for (const Member& m : chat->members) names.push_back(m.name);
    model_->record_locked("GetGroupMembers", chat->name);
    return names;
  }

  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    CallScope scope(*model_, "SendMsg");
    std::lock_guard guard(model_->mu);
    auto fault = model_->begin_locked("SendMsg", true);
    if (fault == FaultEffect::EmptyResult) throw OSError("SendMsg: the client did not respond");
    Chat& chat = model_->chat_locked(who);
    // Sending opens the chat first, as typing into it would.
    model_->open_chat_locked(chat);
    bool mention = at && !at->empty();
    Line line;
    line.type = "text";
    line.content = (mention ? Model::mention_text(*at) : std::string()) + text;
    model_->append_own_locked(chat, std::move(line), timing::now());
    model_->sent.push_back(SentMessage{who, text, mention ? at : std::nullopt, std::nullopt});
    // Sent, and yet the call reports a failure.
    if (fault) throw OSError("SendMsg: the client did not respond");
  }

 private:
  const std::shared_ptr<Model> model_;
};

class SimImageViewer final : public wxauto::WeChatImage {
 public:
  explicit SimImageViewer(std::shared_ptr<Model> model) : model_(std::move(model)) {}

  bool is_open() const override {
    CallScope scope(*model_, "is_open");
    std::lock_guard guard(model_->mu);
    model_->play_due_locked();
    return model_->viewer_open;
  }

  void close() override {
    CallScope scope(*model_, "close");
    std::lock_guard guard(model_->mu);
    model_->play_due_locked();
    if (!model_->viewer_open) return;
    model_->viewer_open = false;
    model_->record_locked("close", "图片查看");
  }

 private:
  const std::shared_ptr<Model> model_;
};

class SimAutomation final : public uia::Automation {
 public:
  explicit SimAutomation(std::shared_ptr<Model> model) : model_(std::move(model)) {}
  std::shared_ptr<uia::Control> GetRootControl() override { return make_root_control(model_); }

 private:
  const std::shared_ptr<Model> model_;
};

class SimDriver final : public wxauto::Driver {
 public:
  explicit SimDriver(std::shared_ptr<Model> model) : model_(model), automation_(model) {}

  std::shared_ptr<wxauto::WeChat> MakeWeChat() override {
    CallScope scope(*model_, "MakeWeChat");
    std::lock_guard guard(model_->mu);
    model_->begin_locked("MakeWeChat");
    return std::make_shared<SimWeChat>(model_);
  }

  wxauto::WxParam& Param() override { return model_->param; }

  wxauto::WindowHandle FindWindow(const std::string& classname) override {
    CallScope scope(*model_, "FindWindow");
    std::lock_guard guard(model_->mu);
    model_->play_due_locked();
    if (model_->faults->check("FindWindow")) throw OSError("FindWindow: the window list could not be read");
    if (classname == kMainWindowClass) return model_->running && model_->logged_in ? kMainWindowHandle : 0;
    if (classname == kLoginWindowClass) return model_->running && !model_->logged_in ? kLoginWindowHandle : 0;
    if (classname == kViewerWindowClass) return model_->viewer_open ? kViewerWindowHandle : 0;
    const auto& options = model_->options;
    for (std::size_t i = 0; i < options.windows_before.size(); ++i)
      if (options.windows_before[i].class_name == classname) return 0x20000 + i;
    for (std::size_t i = 0; i < options.windows_after.size(); ++i)
      if (options.windows_after[i].class_name == classname) return 0x30000 + i;
    return 0;
  }

  std::shared_ptr<wxauto::WeChatImage> MakeWeChatImage() override { return std::make_shared<SimImageViewer>(model_); }

  uia::Automation& Uia() override { return automation_; }

 private:
  const std::shared_ptr<Model> model_;
  SimAutomation automation_;
};

class SimClientImpl final : public SimClient {
 public:
  explicit SimClientImpl(SimOptions options)
      : model_(std::make_shared<Model>(std::move(options))), driver_(std::make_shared<SimDriver>(model_)) {}

  std::shared_ptr<wxauto::Driver> driver() override { return driver_; }
  std::shared_ptr<SimClipboard> clipboard() override { return model_->clipboard; }
  std::shared_ptr<SimShell> shell() override { return model_->shell; }

  void bind_platform() override {
    platform.wxauto.set(driver_);
    platform.clip.set(model_->clipboard);
    platform.shell.set(model_->shell);
  }

  void add_group(const std::string& name, std::vector<Member> members, bool muted) override {
    Chat chat;
    chat.name = name;
    chat.kind = "group";
    chat.group = true;
    chat.muted = muted;
    chat.members = std::move(members);
    std::lock_guard guard(model_->mu);
    model_->add_chat_locked(std::move(chat));
  }

  void add_friend(const std::string& name, std::optional<std::string> remark, bool muted) override {
    Chat chat;
    chat.name = name;
    chat.muted = muted;
    chat.remark = std::move(remark);
    std::lock_guard guard(model_->mu);
    model_->add_chat_locked(std::move(chat));
  }

  void add_chat(const std::string& name, const std::string& kind, bool muted) override {
    Chat chat;
    chat.name = name;
    chat.kind = kind;
    chat.group = kind == "group";
    chat.muted = muted;
    std::lock_guard guard(model_->mu);
    model_->add_chat_locked(std::move(chat));
  }

  void set_muted(const std::string& chat, bool muted) override {
    std::lock_guard guard(model_->mu);
    model_->chat_locked(chat).muted = muted;
  }

  void set_members(const std::string& group, std::vector<Member> members) override {
    std::lock_guard guard(model_->mu);
    model_->chat_locked(group).members = std::move(members);
  }

  LineHandle post_text(const std::string& chat, const std::string& sender, const std::string& text) override {
    std::lock_guard guard(model_->mu);
    return model_->post_text_locked(chat, sender, text, true, timing::now());
  }

  LineHandle post_image(const std::string& chat, const std::string& sender, std::string bytes,
                        std::string file_name) override {
    std::lock_guard guard(model_->mu);
    return model_->post_image_locked(chat, sender, std::move(bytes), std::move(file_name), true, timing::now());
  }

  LineHandle post_quote(const std::string& chat, const std::string& sender, const std::string& reply,
                        const std::string& quoted_text) override {
    std::lock_guard guard(model_->mu);
    return model_->post_quote_locked(chat, sender, reply, quoted_text, true, timing::now());
  }

  LineHandle post_private(const std::string& friend_name, const std::string& text) override {
    std::lock_guard guard(model_->mu);
    if (model_->chat_locked(friend_name).group) throw ValueError("'" + friend_name + "' is a group");
    return model_->post_text_locked(friend_name, friend_name, text, true, timing::now());
  }

  LineHandle post_own(const std::string& chat, const std::string& text) override {
    std::lock_guard guard(model_->mu);
    return model_->post_own_locked(chat, text, timing::now());
  }

  LineHandle join(const std::string& group, const std::string& member,
                  const std::optional<std::string>& inviter) override {
    std::lock_guard guard(model_->mu);
    return model_->join_locked(group, {member}, inviter, std::nullopt, true, timing::now());
  }

  LineHandle join_by_shared_qr(const std::string& group, const std::string& member,
                               const std::string& sharer) override {
    std::lock_guard guard(model_->mu);
    return model_->join_locked(group, {member}, std::nullopt, sharer, true, timing::now());
  }

  LineHandle invite(const std::string& group, const std::string& inviter,
                    const std::vector<std::string>& members) override {
    std::lock_guard guard(model_->mu);
    return model_->join_locked(group, members, inviter, std::nullopt, true, timing::now());
  }

  LineHandle post_quote_of(const std::string& chat, const std::string& sender, const std::string& reply,
                           LineHandle quoted) override {
    std::lock_guard guard(model_->mu);
    return model_->post_quote_of_locked(chat, sender, reply, quoted, true, timing::now());
  }

  LineHandle post_own_image(const std::string& chat, std::string bytes, std::string file_name) override {
    std::lock_guard guard(model_->mu);
    return model_->post_own_image_locked(chat, std::move(bytes), std::move(file_name), timing::now());
  }

  LineHandle post_own_quote(const std::string& chat, const std::string& reply, LineHandle quoted) override {
    std::lock_guard guard(model_->mu);
    return model_->post_quote_of_locked(chat, std::nullopt, reply, quoted, false, timing::now());
  }

  LineHandle post_raw(const std::string& chat, RawLine line) override {
    std::lock_guard guard(model_->mu);
    return model_->post_raw_locked(chat, std::move(line), false, timing::now());
  }

  LineHandle post_special(const std::string& chat, const std::string& sender, const std::string& kind,
                          const std::string& title) override {
    std::lock_guard guard(model_->mu);
    return model_->post_special_locked(chat, sender.empty() ? std::nullopt : std::optional(sender), kind, title,
                                       !sender.empty(), timing::now());
  }

  void set_shown_name(const std::string& chat, const std::string& shown) override {
    std::lock_guard guard(model_->mu);
    model_->chat_locked(chat).shown_name = shown;
  }

  LineHandle pat(const std::string& chat, const std::string& text) override {
    std::lock_guard guard(model_->mu);
    return model_->post_system_locked(chat, "other", "base", text, true, timing::now());
  }

  LineHandle post_system(const std::string& chat, const std::string& text) override {
    std::lock_guard guard(model_->mu);
    return model_->post_system_locked(chat, "base", "system", text, true, timing::now());
  }

  void recall(LineHandle line) override {
    std::lock_guard guard(model_->mu);
    model_->recall_locked(line);
  }

  void logout(bool enter_button, bool login_button) override {
    std::lock_guard guard(model_->mu);
    model_->logout_locked(enter_button, login_button);
  }

  void login() override {
    std::lock_guard guard(model_->mu);
    model_->login_locked();
  }

  bool logged_in() const override {
    std::lock_guard guard(model_->mu);
    return model_->running && model_->logged_in;
  }

  void quit_client() override {
    std::lock_guard guard(model_->mu);
    model_->quit_locked();
  }

  void start_client(bool enter_button, bool login_button) override {
    std::lock_guard guard(model_->mu);
    model_->start_locked(enter_button, login_button);
  }

  bool client_running() const override {
    std::lock_guard guard(model_->mu);
    return model_->running;
  }

  void set_login_delay(double seconds) override {
    std::lock_guard guard(model_->mu);
    model_->options.login_delay = seconds;
  }

  void set_screen_size(std::size_t entries) override {
    std::lock_guard guard(model_->mu);
    model_->options.screen_size = entries;
  }

  void set_copy_delay(double seconds) override {
    std::lock_guard guard(model_->mu);
    model_->options.copy_delay = seconds;
  }

  void set_viewer_takes_clicks(bool takes) override {
    std::lock_guard guard(model_->mu);
    model_->options.viewer_takes_clicks = takes;
  }

  void set_group_list(GroupList list) override {
    std::lock_guard guard(model_->mu);
    model_->group_list = std::move(list);
  }

  GroupList group_list() const override {
    std::lock_guard guard(model_->mu);
    GroupList list = model_->group_list;
    if (list.account.empty()) list.account = model_->options.nickname;
    return list;
  }

  void set_desktop(std::vector<DesktopWindow> before, std::vector<DesktopWindow> after) override {
    std::lock_guard guard(model_->mu);
    model_->options.windows_before = std::move(before);
    model_->options.windows_after = std::move(after);
  }

  void load_scenario(const Json& scenario, const std::string& source) override {
    std::lock_guard guard(model_->mu);
    model_->check_scenario_locked(scenario, source);
    model_->load_scenario_locked(scenario);
  }

  void load_scenario_file(const std::filesystem::path& path) override {
    std::ifstream in(path);
    if (!in) throw OSError("cannot read scenario " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = path.filename().string();
    Json scenario;
    try {
      scenario = Json::parse(text.str());
    } catch (const Json::parse_error& e) {
      throw ValueError(source + ": not valid JSON: " + e.what());
    }
    load_scenario(scenario, source);
  }

  void play_due() override {
    std::lock_guard guard(model_->mu);
    model_->play_due_locked();
  }

  void advance_to(double seconds) override {
    timing::SystemTime target;
    {
      std::lock_guard guard(model_->mu);
      target = model_->play_start +
               std::chrono::duration_cast<timing::SystemTime::duration>(std::chrono::duration<double>(seconds));
    }
    auto now = timing::now();
    if (target > now) timing::advance(std::chrono::duration<double>(target - now).count());
    play_due();
  }

  std::size_t pending_events() const override {
    std::lock_guard guard(model_->mu);
    return model_->timeline.size() - model_->next_event + model_->call_events.size();
  }

  void set_call_hook(std::function<void(const std::string& op, int nth)> hook) override {
    std::lock_guard guard(model_->mu);
    model_->call_hook = std::move(hook);
  }

  void on_call(const std::string& op, int nth, std::function<void()> action) override {
    if (nth < 1) throw ValueError("on_call: nth must be at least 1");
    std::lock_guard guard(model_->mu);
    model_->call_triggers.push_back(Model::CallTrigger{op, model_->call_counts[op] + nth, std::move(action)});
  }

  LineHandle line(const std::string& scenario_id) const override {
    std::lock_guard guard(model_->mu);
    auto it = model_->ids.find(scenario_id);
    if (it == model_->ids.end()) throw KeyError("no scenario line '" + scenario_id + "'");
    return it->second;
  }

  std::vector<SentMessage> sent() const override {
    std::lock_guard guard(model_->mu);
    return model_->sent;
  }

  std::vector<Action> actions() const override {
    std::lock_guard guard(model_->mu);
    return model_->actions;
  }

  std::vector<ThreadViolation> thread_violations() const override {
    std::lock_guard guard(model_->mu);
    return model_->thread_violations;
  }

  void set_strict_threads(bool strict) override {
    std::lock_guard guard(model_->mu);
    model_->options.strict_threads = strict;
  }

  std::optional<std::string> current_chat() const override {
    std::lock_guard guard(model_->mu);
    return model_->current;
  }

  std::string page() const override {
    std::lock_guard guard(model_->mu);
    return model_->page == Page::Chat ? "chat" : "contact";
  }

  bool unread(const std::string& chat) const override {
    std::lock_guard guard(model_->mu);
    return model_->chat_locked(chat).unread > 0;
  }

  bool image_viewer_open() const override {
    std::lock_guard guard(model_->mu);
    return model_->viewer_open;
  }

  std::vector<std::string> on_screen() const override {
    std::lock_guard guard(model_->mu);
    std::vector<std::string> shown;
    if (!model_->running || !model_->logged_in || !model_->current || model_->page != Page::Chat) return shown;
    const Chat& chat = model_->chat_locked(*model_->current);
    const std::vector<Line> view = model_->view_locked(chat);
    const auto [first, last] = model_->screen_locked(chat, view.size());
    for (std::size_t i = first; i < last; ++i) shown.push_back(view[i].content);
    return shown;
  }

  std::vector<std::string> members(const std::string& group) const override {
    std::lock_guard guard(model_->mu);
    std::vector<std::string> names;
    for (const Member& m : model_->chat_locked(group).members) names.push_back(m.name);
    return names;
  }

  bool force_message_xbias() const override { return model_->param.FORCE_MESSAGE_XBIAS.load(); }

  std::filesystem::path files_dir() const override {
    std::lock_guard guard(model_->mu);
    return model_->options.files_dir;
  }

  std::string nickname() const override {
    std::lock_guard guard(model_->mu);
    return model_->options.nickname;
  }

  void fail_on_call(const std::string& operation, int n, FaultEffect effect) override {
    model_->faults->fail_on_call(operation, n, effect);
  }

  void fail_with_probability(const std::string& operation, double p, FaultEffect effect) override {
    model_->faults->fail_with_probability(operation, p, effect);
  }

  void clear_faults() override { model_->faults->clear(); }

  void set_menu_delay(double seconds) override {
    std::lock_guard guard(model_->mu);
    model_->options.menu_delay = seconds;
  }

  void suppress_menu(bool suppressed) override {
    std::lock_guard guard(model_->mu);
    model_->menu_suppressed = suppressed;
  }

  void hold_clipboard(bool held) override { model_->clipboard->hold_by_other_program(held); }

 private:
  const std::shared_ptr<Model> model_;
  const std::shared_ptr<SimDriver> driver_;
};

}  // namespace

std::shared_ptr<SimClient> make_sim_client(SimOptions options) {
  return std::make_shared<SimClientImpl>(std::move(options));
}

}  // namespace orvanta::sim

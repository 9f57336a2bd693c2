#pragma once

// The state of one simulated client and the operations on it. Internal to
// the sim library: the driver, the control tree and the test-facing client
// object are thin layers over this.
//
// Thread-safety: every member marked "guarded by mu" is read and written
// only with `mu` held; functions ending in _locked expect it held. The lock
// is never held across a wait.

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "faults.hpp"
#include "orvanta/json.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::sim {

// One line of a chat's history, as the chat window shows it.
struct Line {
  LineHandle uid = 0;  // 0 for the unread divider, which is not history
  std::string type;    // "text", "image", "other", "base"
  std::string attr;    // "self", "friend", "system", "time", "base"
  std::string content;
  std::optional<std::string> sender;
  std::optional<std::string> remark;
  bool quotable = false;                     // a member's or the account's message
  bool is_quote = false;                     // a reply that quotes another message
  std::optional<LineHandle> quotes;          // the line a linked reply quotes
  bool marked_unread = false;                // counted in the chat's unread mark when it arrived
  std::shared_ptr<const std::string> bytes;  // a picture's file content
  std::string file_name;
  timing::SystemTime time;
  // A line put in as given: info() and content() give these instead of
  // what type, attr and content make.
  bool raw = false;
  std::optional<Json> raw_info;
  std::optional<std::string> raw_content;
};

struct Chat {
  std::string name;
  std::string kind = "friend";  // "group", "friend" or any other text
  bool group = false;           // kind == "group"
  bool muted = false;
  std::vector<Member> members;        // groups
  std::optional<std::string> remark;  // private chats: the friend's remark
  // The name the chat list and the chat's title show, when it differs from
  // the listed name (a trailing blank, say).
  std::optional<std::string> shown_name;
  // A deque: a long-running chat grows without moving its lines.
  std::deque<Line> lines;
  std::size_t unread = 0;
  std::uint64_t activity = 0;  // order of the latest unread-marking line
  std::optional<LineHandle> first_unread;
  std::optional<LineHandle> divider_before;  // shown above this line
  std::size_t shown = 0;                     // lines shown, counted from the newest
  // Where the screen stands in the open chat's list entries: nothing while
  // it is at the bottom (it follows new lines), else the index of the top
  // entry on screen, counted from the oldest loaded entry.
  std::optional<std::size_t> scroll_top;
};

// The page the main window shows.
enum class Page { Chat, Contact };

// Where the login window is: not shown (logged in, or the client not
// running), the logout notice, the login buttons, or logging in (no button
// until the main window shows).
enum class LoginStage { None, Notice, Buttons, LoggingIn };

struct ContextMenu {
  LineHandle line = 0;
  timing::SystemTime visible_at;
  bool can_locate = false;
};

// A node of the control tree as it stands at one moment.
struct Node {
  uia::ControlType type = uia::ControlType::Pane;
  std::string name;
  std::string key;              // stable across rebuilds while the thing it shows exists
  std::string label;            // what the record calls it
  std::string class_name;       // a top-level window's class
  LineHandle line = 0;          // the line a message list entry (or a control in it) shows
  bool message_button = false;  // the message's own button inside an entry
  bool on_screen = true;        // false for a list entry scrolled out of sight, and its controls
  bool in_main_window = false;  // the client's main window and everything in it
  std::vector<Node> children;
};

class Model {
 public:
  explicit Model(SimOptions options);
  // Removes the picture directory when the model made it itself.
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  mutable std::mutex mu;

  SimOptions options;                          // guarded by mu
  std::vector<Chat> chats;                     // guarded by mu
  std::optional<std::string> current;          // guarded by mu
  Page page = Page::Chat;                      // guarded by mu
  bool logged_in = true;                       // guarded by mu
  bool running = true;                         // the client's process; guarded by mu
  std::optional<timing::SystemTime> login_at;  // a login under way ends then; guarded by mu
  GroupList group_list;                        // guarded by mu
  LoginStage login_stage = LoginStage::None;   // guarded by mu
  bool enter_button = true;                    // guarded by mu
  bool login_button = true;                    // guarded by mu
  std::optional<ContextMenu> menu;             // guarded by mu
  bool menu_suppressed = false;                // guarded by mu
  bool back_button = false;                    // guarded by mu
  bool viewer_open = false;                    // guarded by mu
  LineHandle next_uid = 1;                     // guarded by mu
  // Counts the rebuilds of the message list; references taken before the
  // latest rebuild are stale. Guarded by mu.
  std::uint64_t list_generation = 0;
  std::uint64_t activity_counter = 0;  // guarded by mu
  std::vector<SentMessage> sent;       // guarded by mu
  std::vector<Action> actions;         // guarded by mu

  struct Event {
    double at = 0.0;
    Json description;
  };
  std::vector<Event> timeline;            // guarded by mu
  std::size_t next_event = 0;             // guarded by mu
  timing::SystemTime play_start;          // guarded by mu
  std::map<std::string, LineHandle> ids;  // guarded by mu

  // Triggers keyed to calls of the driver and the controls. Counts are per
  // operation since the client was made; a trigger fires when its
  // operation's count reaches `at_count`.
  struct CallTrigger {
    std::string op;
    int at_count = 0;
    std::function<void()> action;
  };
  struct CallEvent {
    std::string op;
    int at_count = 0;
    Json description;
  };
  std::map<std::string, int> call_counts;                  // guarded by mu
  std::function<void(const std::string&, int)> call_hook;  // guarded by mu
  std::vector<CallTrigger> call_triggers;                  // guarded by mu
  std::vector<CallEvent> call_events;                      // scenario events "on" a call; guarded by mu

  // The calls in progress, per thread (a thread's own calls may nest).
  struct CallInProgress {
    std::string thread;
    std::string op;
    int depth = 0;
  };
  std::map<std::thread::id, CallInProgress> in_progress;  // guarded by mu
  std::vector<ThreadViolation> thread_violations;         // guarded by mu

  bool owns_files_dir = false;

  const std::shared_ptr<FaultBoard> faults;
  const std::shared_ptr<SimClipboard> clipboard;
  const std::shared_ptr<SimShell> shell;
  wxauto::WxParam param;

  // Chats.
  Chat* find_chat_locked(const std::string& name);
  Chat& chat_locked(const std::string& name);  // raises LookupError
  Chat& chat_of_line_locked(LineHandle uid);   // raises LookupError
  Line* find_line_locked(LineHandle uid);
  void add_chat_locked(Chat chat);

  // The world.
  LineHandle append_locked(Chat& chat, Line line, bool marks_unread, timing::SystemTime t);
  LineHandle post_member_line_locked(const std::string& chat, const std::string& sender, Line line, bool marks_unread,
                                     timing::SystemTime t);
  LineHandle post_text_locked(const std::string& chat, const std::string& sender, const std::string& text,
                              bool marks_unread, timing::SystemTime t);
  LineHandle post_image_locked(const std::string& chat, const std::string& sender, std::string bytes,
                               std::string file_name, bool marks_unread, timing::SystemTime t);
  LineHandle post_quote_locked(const std::string& chat, const std::string& sender, const std::string& reply,
                               const std::string& quoted, bool marks_unread, timing::SystemTime t);
  LineHandle post_own_locked(const std::string& chat, const std::string& text, timing::SystemTime t);
  // The one builder of the account's own lines: marks `line` as the
  // account's and appends it (own lines never mark the chat unread).
  LineHandle append_own_locked(Chat& chat, Line line, timing::SystemTime t);
  LineHandle post_system_locked(const std::string& chat, const std::string& type, const std::string& attr,
                                const std::string& text, bool marks_unread, timing::SystemTime t);
  LineHandle join_locked(const std::string& group, const std::vector<std::string>& members,
                         const std::optional<std::string>& inviter, const std::optional<std::string>& sharer,
                         bool marks_unread, timing::SystemTime t);
  // A reply of `sender` (nothing: the account) quoting line `quoted`.
  LineHandle post_quote_of_locked(const std::string& chat, const std::optional<std::string>& sender,
                                  const std::string& reply, LineHandle quoted, bool marks_unread, timing::SystemTime t);
  LineHandle post_own_image_locked(const std::string& chat, std::string bytes, std::string file_name,
                                   timing::SystemTime t);
  LineHandle post_raw_locked(const std::string& chat, RawLine raw, bool history, timing::SystemTime t);
  // "@<name>" and the U+2005 space the client puts after a mention.
  static std::string mention_text(const std::string& name) { return "@" + name + "\u2005"; }
  // A line of a special kind ("sticker", "file", "link", "voice") from a
  // member (nothing: the account).
  LineHandle post_special_locked(const std::string& chat, const std::optional<std::string>& sender,
                                 const std::string& kind, const std::string& title, bool marks_unread,
                                 timing::SystemTime t);
  // The text a reply shows for the line it quotes.
  static std::string quoted_text(const Line& line);
  void quit_locked();
  void start_locked(bool enter, bool login);
  // Presses "进入微信" or "登录": logs in now or after the login delay.
  void begin_login_locked();
  void recall_locked(LineHandle uid);
  void logout_locked(bool enter, bool login);
  void login_locked();

  // The client as the system drives it.
  // Applies due events, then counts `operation` against the fault switches
  // and checks that the client is logged in; raises as the real client would.
  // With `partial`, a fault whose effect is not a plain error is given back
  // for the operation to honour instead of raising.
  std::optional<FaultEffect> begin_locked(const std::string& operation, bool partial = false);
  void open_chat_locked(Chat& chat);
  // Whether a reference taken at list generation `generation` is stale.
  bool stale_locked(std::uint64_t generation) const {
    return options.stale_references && generation != list_generation;
  }
  // The line `uid` of `chat` as it is now, when the open window shows it;
  // else null.
  Line* shown_line_locked(const std::string& chat, LineHandle uid);
  // The lines the open window of `chat` shows, oldest first, with the unread
  // divider in its place.
  std::vector<Line> view_locked(const Chat& chat) const;
  // The entries on screen out of `entries` list entries of the open chat
  // `chat`: the index of the first and one past the last.
  std::pair<std::size_t, std::size_t> screen_locked(const Chat& chat, std::size_t entries) const;
  void record_locked(std::string kind, std::string target);
  std::filesystem::path write_picture_locked(const Line& line);

  // The control tree as it stands at time `at` (a look that ends late still
  // sees what was there when its time ran out).
  Node build_tree_locked(timing::SystemTime at) const;
  // The picture a line shows: its own, or for a linked reply the quoted
  // line's; null when none.
  const Line* picture_of_locked(const Line& line);
  // Whether a click (`kind` "Click" or "RightClick") at `node` reaches it:
  // an open image viewer may take the clicks aimed at the main window, and
  // an entry off screen cannot be clicked. Records a click that does not.
  bool click_reaches_locked(const Node& node, const std::string& kind);
  void click_locked(const Node& node);
  void right_click_locked(const Node& node);

  // Announces a call of `operation` to the world, with `mu` NOT held:
  // counts it, applies the scenario events keyed to it, then runs the
  // one-shot triggers and the call hook, which may change the world through
  // the client's own members. Every driver and control call does this
  // before it looks at the model, so the changes show in its answer.
  void announce_call(const std::string& operation);
  // Marks a call of `operation` by this thread as begun, or ended; begin
  // records (and in strict mode raises ThreadError for) an overlap with
  // another thread's call. With `mu` NOT held.
  void begin_call(const std::string& operation);
  void end_call();

  // Scenarios.
  // Raises ValueError naming `source`, the entry and the field for the
  // first mistake in `scenario`; changes nothing.
  void check_scenario_locked(const Json& scenario, const std::string& source) const;
  void load_scenario_locked(const Json& scenario);
  // Applies due events and finishes a login whose delay has passed.
  void play_due_locked();
  void apply_event_locked(const Json& event, double at);
};

// One call of the driver, a window message, the image viewer or a control,
// for its whole length (a control's wait included): checks the thread,
// announces the call, and marks it ended when it leaves.
class CallScope {
 public:
  CallScope(Model& model, const std::string& operation) : model_(model) {
    model_.begin_call(operation);
    try {
      model_.announce_call(operation);
    } catch (...) {
      model_.end_call();
      throw;
    }
  }
  ~CallScope() { model_.end_call(); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Model& model_;
};

// The calling thread as records name it: "<name> (<id>)", or the id alone.
std::string this_thread_label();
std::string this_thread_name();

// Window handles FindWindow gives.
inline constexpr wxauto::WindowHandle kMainWindowHandle = 0x10010;
inline constexpr wxauto::WindowHandle kLoginWindowHandle = 0x10020;
inline constexpr wxauto::WindowHandle kViewerWindowHandle = 0x10030;

inline constexpr const char* kMainWindowClass = "WeChatMainWndForPC";
inline constexpr const char* kLoginWindowClass = "WeChatLoginWndForPC";
inline constexpr const char* kViewerWindowClass = "ImagePreviewWnd";

std::shared_ptr<uia::Control> make_root_control(std::shared_ptr<Model> model);

}  // namespace orvanta::sim

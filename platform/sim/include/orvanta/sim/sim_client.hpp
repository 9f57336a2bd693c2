#pragma once

// The simulated chat client: a small model of the client, with state, that
// the system drives through the driver, automation, clipboard and shell
// interfaces of contracts/, and that tests and scenario files drive from the
// other side ("the world": members posting, recalling, joining, the account
// being logged out).
//
// Thread-safety: every member may be called from any thread. All state of
// the client sits behind one mutex (the clipboard and the shell have their
// own); a driver call sees the world as it was when the call started, with
// every scenario event due by then applied. Waits (Exists, control searches)
// go through the timing facility and never hold the lock while waiting.
//
// Determinism: scenario events carry their own clock time, pictures their own
// bytes, and probabilistic faults draw from a generator seeded by
// SimOptions::seed, so the same scenario driven by the same calls gives the
// same windows, records and failures.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/json.hpp"
#include "orvanta/sim/clipboard.hpp"
#include "orvanta/sim/shell.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::sim {

// A top-level window of another program on the desktop. It may hold
// buttons (decoys for searches that look too wide or not deep enough): each
// sits `button_depth` levels below the window (1: the window's children; the
// levels between are unnamed panes).
struct DesktopWindow {
  std::string name;
  std::string class_name;
  std::vector<std::string> buttons{};
  int button_depth = 1;
};

struct SimOptions {
  // Display name of the logged-in account.
  std::string nickname = "orvanta";
  // Lines shown when a chat is opened, and lines added by LoadMoreMessage.
  std::size_t window_size = 10;
  std::size_t load_step = 10;
  // Where downloaded and copied pictures are written; empty: a fresh
  // directory under the system's temporary directory.
  std::filesystem::path files_dir;
  // Seed of the generator behind probabilistic faults.
  std::uint64_t seed = 1;
  // Clock time between a right-click and its context menu appearing.
  double menu_delay = 0.0;
  // When false (the default), lines arriving in the open chat still mark it
  // unread, as they do while the client's window is in the background; when
  // true the open chat counts as read.
  bool read_current_chat = false;
  // Other programs' top-level windows, before and after the client's.
  std::vector<DesktopWindow> windows_before;
  std::vector<DesktopWindow> windows_after;
  // Clock time between pressing "进入微信" or "登录" and the login being
  // complete (the main window appearing).
  double login_delay = 0.0;
  // One driving thread at a time: a call of the driver, a window message,
  // the image viewer or a control made while another thread's call (or
  // control wait) is in progress fails with ThreadError. Overlaps are
  // recorded (thread_violations()) either way.
  bool strict_threads = false;
  // Element references go stale: when the client rebuilds its message list
  // (a chat opened from another chat, a re-login, a restart of the client),
  // window messages read before and controls found in the list before fail
  // at once with LookupError, instead of finding their line again.
  bool stale_references = true;
  // How many entries of the message list fit on screen; 0: every loaded
  // entry is on screen (the guess off). Opening a chat shows the newest entries, a line
  // arriving while the screen is at the bottom keeps it there, and
  // LoadMoreMessage shows the oldest loaded ones. A click or right-click on
  // a control of an entry off screen does nothing ("Click off screen",
  // "RightClick off screen" in actions()).
  std::size_t screen_size = 8;
  // Clock time between "复制" and the copy landing on the clipboard; until
  // then the clipboard keeps what it held.
  double copy_delay = 0.0;
  // While the image viewer is open it takes the clicks aimed at the main
  // window: they do nothing there ("Click taken by viewer", "RightClick
  // taken by viewer" in actions()).
  bool viewer_takes_clicks = false;
};

struct Member {
  std::string name;
  std::optional<std::string> remark;
};

// Names one posted line, for recalling it later.
using LineHandle = std::uint64_t;

// A text the system sent (SendMsg) or a quoted reply (quote).
struct SentMessage {
  std::string chat;
  std::string text;
  std::optional<std::string> at;
  // For a quoted reply: the text it shows for the quoted message ("[图片]"
  // for a picture, a quoting reply by its own text).
  std::optional<std::string> quoted;
};

// Any other thing the system did to the client, in order: kind is the
// operation ("ChatWith", "Click", "RightClick", "copy", "download",
// "SetActive", ...), target what it acted on. The reads are recorded too
// ("GetNextNewMessage" with the chat it gave, "GetAllMessage" and
// "LoadMoreMessage" with the open chat, "GetGroupMembers" with the group,
// "CollectAllGroupNames"), each when the client answered it.
// Each records the thread that made the call: its id and its name (as the
// operating system knows it; empty when unnamed).
struct Action {
  std::string kind;
  std::string target;
  std::thread::id thread_id{};
  std::string thread_name{};
};

// Two threads driving the client at once: `call` on `thread` began while
// `other_call` on `other_thread` was still in progress. Threads are named
// "<name> (<id>)", or by id alone when unnamed.
struct ThreadViolation {
  std::string thread;
  std::string call;
  std::string other_thread;
  std::string other_call;
  std::string message;
};

// What a call raises in strict one-thread mode when another thread is
// driving the client. Not an error of the client: a fault of the caller.
class ThreadError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A line put into a chat as given, for the cases the ordinary posts do not
// make: any type, attr and content, a `content` attribute that differs from
// the info's, an info that is absent, not a mapping, or lacks keys.
struct RawLine {
  // What WindowMessage::info() gives: nothing when absent, else this value
  // as it is (an object with any keys, or any other JSON value).
  std::optional<Json> info;
  // What content(), sender() and sender_remark() give.
  std::optional<std::string> content;
  std::optional<std::string> sender;
  std::optional<std::string> remark;
  // Whether the line is a message that can be quoted, recalled and
  // right-clicked; nothing: when it has a sender.
  std::optional<bool> quotable;
  // A picture's bytes, for download and copy.
  std::optional<std::string> bytes;
  std::string file_name;
  // The line this one quotes (copying it then copies that line's picture).
  std::optional<LineHandle> quotes;
  // Whether it marks the chat unread; nothing: unless info's attr is "self".
  std::optional<bool> marks_unread;
};

// What the group-management server answers for the account's list of
// listened groups (GroupListServer serves it).
struct GroupList {
  // The account the list is for; empty: the account's nickname.
  std::string account;
  // The answer's "data": one entry per group, normally {"name": ...}.
  Json data = Json::array();
  // The answer's "code": 200 on success; any JSON value (a text "200"
  // included) to model a server that answers otherwise.
  Json code = 200;
  // The HTTP status, and a body that replaces the JSON answer when given.
  int http_status = 200;
  std::optional<std::string> body;
  // The request fails: the server closes the connection without answering.
  bool drop_connection = false;
};

// What a triggered fault does: raise the operation's ordinary error; give
// an empty result (download: no path; GetAllMessage: an empty list;
// LoadMoreMessage: loads nothing although older history exists); or (ChatWith,
// SendMsg) take effect and then raise all the same. Elsewhere the last two
// raise like Error.
enum class FaultEffect { Error, EmptyResult, ErrorAfterEffect };

class SimClient {
 public:
  virtual ~SimClient() = default;

  // --- What the system binds -------------------------------------------
  virtual std::shared_ptr<wxauto::Driver> driver() = 0;
  virtual std::shared_ptr<SimClipboard> clipboard() = 0;
  virtual std::shared_ptr<SimShell> shell() = 0;
  // Installs the driver, the clipboard and the shell into orvanta::platform.
  virtual void bind_platform() = 0;

  // --- The world ---------------------------------------------------------
  virtual void add_group(const std::string& name, std::vector<Member> members, bool muted = false) = 0;
  virtual void add_friend(const std::string& name, std::optional<std::string> remark = std::nullopt,
                          bool muted = false) = 0;
  virtual void set_muted(const std::string& chat, bool muted) = 0;
  virtual void set_members(const std::string& group, std::vector<Member> members) = 0;
  // A chat of any kind: "group" (no members), "friend", or any other text,
  // which the next-new-message poll passes on unchanged as chat_type.
  virtual void add_chat(const std::string& name, const std::string& kind, bool muted = false) = 0;

  // Lines arriving in a chat. `sender` is a member's display name (for a
  // private chat, the friend's name).
  virtual LineHandle post_text(const std::string& chat, const std::string& sender, const std::string& text) = 0;
  virtual LineHandle post_image(const std::string& chat, const std::string& sender, std::string bytes,
                                std::string file_name = {}) = 0;
  // A reply quoting `quoted_text`.
  virtual LineHandle post_quote(const std::string& chat, const std::string& sender, const std::string& reply,
                                const std::string& quoted_text) = 0;
  // A text in a private chat, from the friend.
  virtual LineHandle post_private(const std::string& friend_name, const std::string& text) = 0;
  // A text the account sent from another device.
  virtual LineHandle post_own(const std::string& chat, const std::string& text) = 0;
  // A join notice; the member is added to the group. With an inviter:
  // "<inviter>"邀请"<member>"加入了群聊, else "<member>"通过扫描二维码加入群聊.
  virtual LineHandle join(const std::string& group, const std::string& member,
                          const std::optional<std::string>& inviter = std::nullopt) = 0;
  // A join notice "<member>"通过扫描"<sharer>"分享的二维码加入群聊.
  virtual LineHandle join_by_shared_qr(const std::string& group, const std::string& member,
                                       const std::string& sharer) = 0;
  // A join notice for several members invited at once:
  // "<inviter>"邀请"<a>、<b>"加入了群聊; every member is added.
  virtual LineHandle invite(const std::string& group, const std::string& inviter,
                            const std::vector<std::string>& members) = 0;
  // A reply linked to the line it quotes (a message of the same chat): its
  // text is `reply`, "\n", the quote marker, " " and the quoted line's text
  // ("[图片]" for a picture; a quoting reply is quoted by its own text).
  // "复制" on it copies the quoted picture's file when it quotes a picture.
  virtual LineHandle post_quote_of(const std::string& chat, const std::string& sender, const std::string& reply,
                                   LineHandle quoted) = 0;
  // The account's own picture and own linked quoting reply, sent from
  // another device.
  virtual LineHandle post_own_image(const std::string& chat, std::string bytes, std::string file_name = {}) = 0;
  virtual LineHandle post_own_quote(const std::string& chat, const std::string& reply, LineHandle quoted) = 0;
  // Any line, as given (RawLine).
  virtual LineHandle post_raw(const std::string& chat, RawLine line) = 0;
  // A sticker, file, link or voice line (`kind` "sticker", "file", "link",
  // "voice"): shown as "[动画表情]", "[文件]", "[链接]" or "[语音]", then " "
  // and `title` when one is given; its info type is "emotion", "file",
  // "link" or "voice" and its attr "friend" (the types are a guess). An
  // empty sender: the account's own, from another device.
  virtual LineHandle post_special(const std::string& chat, const std::string& sender, const std::string& kind,
                                  const std::string& title = {}) = 0;
  // The name the chat list, the poll and the chat's title show for `chat`,
  // when it differs from the listed name (a trailing blank, say). ChatWith
  // finds the chat by either.
  virtual void set_shown_name(const std::string& chat, const std::string& shown) = 0;
  // A "pat" line: an "other" line whose attr contains "base".
  virtual LineHandle pat(const std::string& chat, const std::string& text) = 0;
  // Any other system line.
  virtual LineHandle post_system(const std::string& chat, const std::string& text) = 0;
  // Replaces the line in place by a recall notice.
  virtual void recall(LineHandle line) = 0;

  // Logged out: the main window is gone and the logout notice shows, with
  // the enter and login buttons after it is confirmed (each can be left out).
  virtual void logout(bool enter_button = true, bool login_button = true) = 0;
  virtual void login() = 0;
  virtual bool logged_in() const = 0;
  // The client's process ends: no main window and no login window; every
  // driver operation and MakeWeChat fail with LookupError. Starting it shows
  // the login window with the enter and login buttons (each can be left
  // out); pressing either logs in after the login delay.
  virtual void quit_client() = 0;
  virtual void start_client(bool enter_button = true, bool login_button = true) = 0;
  virtual bool client_running() const = 0;
  virtual void set_login_delay(double seconds) = 0;
  // SimOptions::screen_size, copy_delay and viewer_takes_clicks.
  virtual void set_screen_size(std::size_t entries) = 0;
  virtual void set_copy_delay(double seconds) = 0;
  virtual void set_viewer_takes_clicks(bool takes) = 0;

  // The group list the server gives for the account.
  virtual void set_group_list(GroupList list) = 0;
  // With `account` filled in (the nickname when it was left empty).
  virtual GroupList group_list() const = 0;

  virtual void set_desktop(std::vector<DesktopWindow> before, std::vector<DesktopWindow> after) = 0;

  // --- Scenarios -----------------------------------------------------------
  // Loads a scenario (docs/simulated-client.md): account, options, desktop,
  // chats, and a timeline that starts playing at once on the clock.
  // A scenario with a mistake (an unknown event kind, chat or line id, a
  // missing or mistyped field) is refused whole with ValueError, naming
  // `source` (the file's name), the entry and the field:
  //   scenario.json: timeline[12] ("recall"): no line with id "m9"
  virtual void load_scenario(const Json& scenario, const std::string& source = "scenario") = 0;
  virtual void load_scenario_file(const std::filesystem::path& path) = 0;
  // Applies every event due by the clock. Driver calls do this themselves.
  virtual void play_due() = 0;
  // Moves the clock forward to `seconds` after the start of play (never
  // back) and applies every event due by then.
  virtual void advance_to(double seconds) = 0;
  // Events of the timeline not applied yet.
  virtual std::size_t pending_events() const = 0;
  // The line a timeline event named with "id".
  virtual LineHandle line(const std::string& scenario_id) const = 0;

  // --- Events inside a pass ----------------------------------------------------
  // The world can change between any two calls of the system, not only as
  // the clock runs. Every call of the driver, of a window message, of the
  // image viewer and of a control announces itself before it looks at the
  // client: `op` is the call's name ("GetAllMessage", "GetNextNewMessage",
  // "ChatWith", "LoadMoreMessage", "SendMsg", "SwitchToChat", "quote",
  // "download", "Click", "RightClick", "Exists", "Name", "GetChildren",
  // "SetActive", "SetTopmost", "FindWindow", "MakeWeChat", "is_open",
  // "close", ...) and `nth` the 1-based count of calls of `op` since the
  // client was made. The hook runs on the calling thread without the
  // client's lock held, so it may post, recall, log out and so on through
  // this object, and the call's answer shows the change. It must not call
  // the driver itself. Replaces any earlier hook; an empty function removes
  // it.
  virtual void set_call_hook(std::function<void(const std::string& op, int nth)> hook) = 0;
  // Runs `action` once, in the same way, just before the nth call of `op`
  // from now (1: the next one). Actions due at the same call run in the
  // order they were given, before the hook.
  virtual void on_call(const std::string& op, int nth, std::function<void()> action) = 0;

  // --- Records and inspection ----------------------------------------------
  virtual std::vector<SentMessage> sent() const = 0;
  virtual std::vector<Action> actions() const = 0;
  // Every overlap of two threads' calls seen so far, in order.
  virtual std::vector<ThreadViolation> thread_violations() const = 0;
  // Turns the strict one-thread mode on or off (SimOptions::strict_threads).
  virtual void set_strict_threads(bool strict) = 0;
  virtual std::optional<std::string> current_chat() const = 0;
  // "chat" or "contact".
  virtual std::string page() const = 0;
  virtual bool unread(const std::string& chat) const = 0;
  virtual bool image_viewer_open() const = 0;
  // The shown texts of the open chat's list entries on screen, top first
  // (empty when no chat is open on the chat page).
  virtual std::vector<std::string> on_screen() const = 0;
  virtual std::vector<std::string> members(const std::string& group) const = 0;
  // The value the system gave WxParam::FORCE_MESSAGE_XBIAS.
  virtual bool force_message_xbias() const = 0;
  virtual std::filesystem::path files_dir() const = 0;
  virtual std::string nickname() const = 0;

  // --- Fault switches --------------------------------------------------------
  // `operation` is a driver operation ("ChatWith", "GetAllMessage",
  // "LoadMoreMessage", "SendMsg", "GetNextNewMessage", "GetGroupMembers",
  // "CollectAllGroupNames", "SwitchToChat", "SwitchToContact", "FindWindow",
  // "MakeWeChat"), a message operation ("download", "quote"), a clipboard
  // operation ("OpenClipboard", "GetClipboardData"), a window operation
  // ("SetActive", "SetTopmost"), or a control search
  // "search:<Type>:<Name>" (Type as in uia::ControlType, Name empty for a
  // search without a name).
  // The n-th call (1-based) of `operation` from now fails.
  virtual void fail_on_call(const std::string& operation, int n, FaultEffect effect = FaultEffect::Error) = 0;
  // Every call of `operation` fails with probability p.
  virtual void fail_with_probability(const std::string& operation, double p,
                                     FaultEffect effect = FaultEffect::Error) = 0;
  virtual void clear_faults() = 0;
  // Context menus appear `seconds` after the right-click; or not at all.
  virtual void set_menu_delay(double seconds) = 0;
  virtual void suppress_menu(bool suppressed) = 0;
  // Another program holds the clipboard open (OpenClipboard fails), until
  // released. The same as clipboard()->hold_by_other_program.
  virtual void hold_clipboard(bool held) = 0;
};

std::shared_ptr<SimClient> make_sim_client(SimOptions options = {});

// The name of a control type in fault switches ("Window", "Button", ...).
std::string control_type_name(uia::ControlType type);

}  // namespace orvanta::sim

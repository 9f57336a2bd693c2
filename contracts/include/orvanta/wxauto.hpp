#pragma once

// The client driver package: the client object `WeChat`, the messages its
// chat window shows, the driver-wide parameters `WxParam`, the window finder
// `FindWindow`, the image viewer `WeChatImage` and the automation layer `uia`.
//
// Thread-safety: after start-up only the listening thread drives the client;
// an implementation need not allow two threads to drive it at once, but must
// allow the driver object to be built on one thread and used on another.
// Every operation reports failure by throwing an ordinary error.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvanta/json.hpp"
#include "orvanta/uia.hpp"
#include "orvanta/visibility.hpp"

namespace orvanta::wxauto {

// Where a downloaded picture was saved. The path is absent when the driver
// could not save it.
struct Download {
  std::optional<std::string> path;
  std::string file_name;
};

// One message of the open chat window.
class ORVANTA_INTERFACE WindowMessage {
 public:
  virtual ~WindowMessage() = default;

  // The sender's display name, the sender's remark name and the shown text;
  // each may be absent.
  virtual std::optional<std::string> sender() const = 0;
  virtual std::optional<std::string> sender_remark() const = 0;
  virtual std::optional<std::string> content() const = 0;

  // The message's description. Absent (nullopt), present but not a mapping
  // (a JSON value that is not an object), or a mapping with the keys
  //   "type": "text", "image", "other" (a reply that quotes) or "base"
  //           (a system line),
  //   "content": the shown text ("[图片]" for a picture),
  //   "attr": "self" for the account's own messages, "friend" for others',
  //           "system", or a text containing "time" or "base",
  // any of which may be missing.
  virtual std::optional<Json> info() const = 0;

  // Whether this message can be answered with a quoted reply.
  virtual bool has_quote() const = 0;
  // Sends `text` as a reply quoting this message, mentioning `at` when given.
  // REQUIRES: has_quote().
  virtual void quote(const std::string& text, const std::optional<std::string>& at = std::nullopt) = 0;

  // Saves the picture of an image message to a file.
  virtual Download download() = 0;
};

using WindowMessages = std::vector<std::shared_ptr<WindowMessage>>;

// The client object, built once without arguments at start-up.
class ORVANTA_INTERFACE WeChat {
 public:
  virtual ~WeChat() = default;

  // Display name of the logged-in account.
  virtual std::string nickname() const = 0;

  // The next chat with unread messages, one per call: a mapping with
  // "chat_name", "chat_type" ("friend", "group" or another text) and "msg";
  // an empty mapping when nothing is new. Muted chats are skipped when
  // `filter_mute` is true.
  virtual Json GetNextNewMessage(bool filter_mute = true) = 0;

  // Opens the chat named `who` and makes it current; an unknown chat is an
  // error.
  virtual void ChatWith(const std::string& who) = 0;
  // Shows the chat list page, or the contacts page.
  virtual void SwitchToChat() = 0;
  virtual void SwitchToContact() = 0;

  // The names of all group chats of the account.
  virtual std::vector<std::string> CollectAllGroupNames() = 0;

  // The messages loaded in the open chat window, oldest first.
  virtual WindowMessages GetAllMessage() = 0;
  // Loads older history into the open chat window.
  virtual void LoadMoreMessage() = 0;
  // The member names of the open group chat.
  virtual std::vector<std::string> GetGroupMembers() = 0;

  // Sends `text` to the chat `who`, mentioning `at` when given.
  virtual void SendMsg(const std::string& text, const std::string& who,
                       const std::optional<std::string>& at = std::nullopt) = 0;
};

// Driver-wide parameters, shared by every driver operation.
struct WxParam {
  std::atomic<bool> FORCE_MESSAGE_XBIAS{false};
};

// The client's image viewer window.
class ORVANTA_INTERFACE WeChatImage {
 public:
  virtual ~WeChatImage() = default;
  // Whether an image viewer window is open.
  virtual bool is_open() const = 0;
  explicit operator bool() const { return is_open(); }
  // Closes the viewer.
  virtual void close() = 0;
};

// A top-level window handle; 0 when no window was found.
using WindowHandle = std::uintptr_t;

// The driver package as a whole: what the system binds by name from it.
class ORVANTA_INTERFACE Driver {
 public:
  virtual ~Driver() = default;

  // `WeChat()`: builds the client object.
  virtual std::shared_ptr<WeChat> MakeWeChat() = 0;
  // The class-level parameters (`WxParam`).
  virtual WxParam& Param() = 0;
  // `FindWindow(classname=...)`: the handle of a top-level window of that
  // class, 0 when there is none.
  virtual WindowHandle FindWindow(const std::string& classname) = 0;
  // `WeChatImage()`: the image viewer, false when it is closed.
  virtual std::shared_ptr<WeChatImage> MakeWeChatImage() = 0;
  // The automation module (`uia`).
  virtual uia::Automation& Uia() = 0;
};

}  // namespace orvanta::wxauto

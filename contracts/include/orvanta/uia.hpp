#pragma once

// The user-interface automation layer of the client driver, held by the
// system as `uia`.
//
// A control object describes a search: the kind of control, the search keys
// and the control to search from. The search is made when the control is
// used, not when it is described, so describing a control that does not exist
// is not an error. `Exists` makes the search and answers whether it found the
// control within the given time; every other operation makes the search with
// the layer's default time limit and raises LookupError when the control is
// not there.
//
// Thread-safety: a control may be used from any one thread at a time; the
// system uses controls only from the thread that drives the client.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/visibility.hpp"

namespace orvanta::uia {

enum class ControlType { Window, List, Pane, Button, Text, MenuItem, Any };

// The search keys. A key left empty does not restrict the search.
//  - Name: the control's name must equal this text.
//  - searchDepth: how many levels below the starting control are searched
//    (1: its children only). Unlimited when empty.
//  - foundIndex: take the n-th matching control (1 for the first) in the
//    order of a depth-first walk. The first when empty.
//  - Timeout: the longest time, in seconds, an operation other than Exists
//    waits for the control to appear. The layer's default (10 s) when empty.
// Every key has a default initializer so that a search may name only some
// keys, Search{.Name = "x"}, without a missing-initializer warning.
struct Search {
  std::optional<std::string> Name{};
  std::optional<int> searchDepth{};
  std::optional<int> foundIndex{};
  std::optional<double> Timeout{};
};

// The default time limit of a search made by an operation other than Exists.
inline constexpr double kDefaultSearchTimeout = 10.0;
// The defaults of Exists.
inline constexpr double kDefaultExistsSeconds = 5.0;
inline constexpr double kDefaultSearchInterval = 0.5;

class ORVANTA_INTERFACE Control {
 public:
  virtual ~Control() = default;

  // Describes a search for a control of `type` below this control.
  virtual std::shared_ptr<Control> Find(ControlType type, Search search) = 0;

  // Searches repeatedly, every `interval` seconds, until the control is found
  // or `seconds` have passed; `seconds` 0 means a single look.
  virtual bool Exists(double seconds = kDefaultExistsSeconds, double interval = kDefaultSearchInterval) = 0;

  // The control's name (for a message list entry: the message text).
  virtual std::string Name() = 0;
  // The window class of a top-level window (empty for other controls).
  virtual std::string ClassName() = 0;
  virtual std::vector<std::shared_ptr<Control>> GetChildren() = 0;

  virtual void Click() = 0;
  virtual void RightClick() = 0;
  // Bring the window to the front; true on success.
  virtual bool SetActive() = 0;
  // Keep the window above the others (or not); true on success.
  virtual bool SetTopmost(bool topmost) = 0;

  std::shared_ptr<Control> WindowControl(Search s = {}) { return Find(ControlType::Window, std::move(s)); }
  std::shared_ptr<Control> ListControl(Search s = {}) { return Find(ControlType::List, std::move(s)); }
  std::shared_ptr<Control> PaneControl(Search s = {}) { return Find(ControlType::Pane, std::move(s)); }
  std::shared_ptr<Control> ButtonControl(Search s = {}) { return Find(ControlType::Button, std::move(s)); }
  std::shared_ptr<Control> TextControl(Search s = {}) { return Find(ControlType::Text, std::move(s)); }
  std::shared_ptr<Control> MenuItemControl(Search s = {}) { return Find(ControlType::MenuItem, std::move(s)); }
};

// The automation module itself: the desktop root, and module-level searches
// that start from it.
class ORVANTA_INTERFACE Automation {
 public:
  virtual ~Automation() = default;

  virtual std::shared_ptr<Control> GetRootControl() = 0;

  std::shared_ptr<Control> WindowControl(Search s = {}) { return GetRootControl()->WindowControl(std::move(s)); }
  std::shared_ptr<Control> ListControl(Search s = {}) { return GetRootControl()->ListControl(std::move(s)); }
  std::shared_ptr<Control> PaneControl(Search s = {}) { return GetRootControl()->PaneControl(std::move(s)); }
  std::shared_ptr<Control> ButtonControl(Search s = {}) { return GetRootControl()->ButtonControl(std::move(s)); }
  std::shared_ptr<Control> TextControl(Search s = {}) { return GetRootControl()->TextControl(std::move(s)); }
  std::shared_ptr<Control> MenuItemControl(Search s = {}) { return GetRootControl()->MenuItemControl(std::move(s)); }
};

}  // namespace orvanta::uia

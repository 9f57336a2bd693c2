// The automation tree of the simulated desktop and the controls that search
// it. The tree is rebuilt from the model at every look, so a control always
// sees the client as it is at that moment; nodes carry stable keys so that a
// control handed out by GetChildren keeps naming the same thing.

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <utility>

#include "model.hpp"
#include "orvanta/errors.hpp"

namespace orvanta::sim {

std::string control_type_name(uia::ControlType type) {
  switch (type) {
    case uia::ControlType::Window:
      return "Window";
    case uia::ControlType::List:
      return "List";
    case uia::ControlType::Pane:
      return "Pane";
    case uia::ControlType::Button:
      return "Button";
    case uia::ControlType::Text:
      return "Text";
    case uia::ControlType::MenuItem:
      return "MenuItem";
    case uia::ControlType::Any:
      return "Any";
  }
  return "Any";
}

namespace {

using uia::ControlType;

timing::SystemTime::duration to_duration(double seconds) {
  return std::chrono::duration_cast<timing::SystemTime::duration>(std::chrono::duration<double>(seconds));
}

Node node(ControlType type, std::string name, std::string key, std::vector<Node> children = {}) {
  Node n;
  n.type = type;
  n.label = name;
  n.name = std::move(name);
  n.key = std::move(key);
  n.children = std::move(children);
  return n;
}

// One entry of the message list: named by the shown text. A message (a
// member's or the account's) holds Pane > [Button (the sender's avatar),
// Pane > Button (the message itself, the button the client right-clicks for
// the context menu; for a reply quoting a picture, that picture)]. The
// avatar comes first, so a search that skips the inner pane finds it instead.
Node message_item(const Line& line) {
  std::string key = line.uid == 0 ? "item:divider" : "item:" + std::to_string(line.uid);
  Node item = node(ControlType::Pane, line.content, key);
  item.line = line.uid;
  if (line.quotable) {
    Node avatar = node(ControlType::Button, line.sender.value_or(""), key + ":avatar");
    avatar.label = "avatar:" + line.sender.value_or("");
    avatar.line = line.uid;
    Node button = node(ControlType::Button, "", key + ":btn");
    button.label = line.content;
    button.line = line.uid;
    button.message_button = true;
    item.children.push_back(node(ControlType::Pane, "", key + ":p1",
                                 {std::move(avatar), node(ControlType::Pane, "", key + ":p2", {std::move(button)})}));
  }
  return item;
}

// Sets `set` on `n` and everything below it.
template <class Set>
void mark_all(Node& n, Set set) {
  set(n);
  for (Node& child : n.children) mark_all(child, set);
}

// `children` nested `depth` - 1 unnamed panes below `parent`.
void add_nested(Node& parent, int depth, const std::string& key, std::vector<Node> children) {
  if (depth <= 1) {
    for (Node& child : children) parent.children.push_back(std::move(child));
    return;
  }
  Node pane = node(ControlType::Pane, "", key + ":" + std::to_string(depth));
  add_nested(pane, depth - 1, key, std::move(children));
  parent.children.push_back(std::move(pane));
}

Node other_window(const DesktopWindow& w, const std::string& key) {
  Node window = node(ControlType::Window, w.name, key);
  window.class_name = w.class_name;
  std::vector<Node> buttons;
  for (std::size_t i = 0; i < w.buttons.size(); ++i) {
    Node button = node(ControlType::Button, w.buttons[i], key + ":btn:" + std::to_string(i));
    button.label = w.name + "/" + w.buttons[i];
    buttons.push_back(std::move(button));
  }
  add_nested(window, w.button_depth, key + ":pane", std::move(buttons));
  return window;
}

Node main_window(const Model& m, timing::SystemTime at) {
  Node window = node(ControlType::Window, "微信", "main");
  window.class_name = kMainWindowClass;
  window.children.push_back(
      node(ControlType::Pane, "导航", "nav",
           {node(ControlType::Button, "聊天", "nav:chat"), node(ControlType::Button, "通讯录", "nav:contact")}));
  if (m.page == Page::Chat) {
    Node page = node(ControlType::Pane, "", "chatpage");
    if (m.current) {
      for (const Chat& chat : m.chats) {
        if (chat.name != *m.current) continue;
        page.children.push_back(node(ControlType::Text, chat.shown_name.value_or(chat.name), "title"));
        // Buttons around the message list, outside every entry.
        page.children.push_back(node(ControlType::Button, "聊天信息", "chatinfo"));
        Node list = node(ControlType::List, "消息", "list");
        const std::vector<Line> view = m.view_locked(chat);
        const auto [first, last] = m.screen_locked(chat, view.size());
        for (std::size_t i = 0; i < view.size(); ++i) {
          Node item = message_item(view[i]);
          if (i < first || i >= last) mark_all(item, [](Node& n) { n.on_screen = false; });
          list.children.push_back(std::move(item));
        }
        page.children.push_back(std::move(list));
        page.children.push_back(node(
            ControlType::Pane, "输入", "input",
            {node(ControlType::Button, "表情", "input:emoji"), node(ControlType::Button, "发送(S)", "input:send")}));
      }
    }
    window.children.push_back(std::move(page));
  } else {
    Node list = node(ControlType::List, "联系人", "contacts");
    for (const Chat& chat : m.chats)
      list.children.push_back(node(ControlType::Text, chat.name, "contact:" + chat.name));
    window.children.push_back(std::move(list));
  }
  if (m.back_button) window.children.push_back(node(ControlType::Button, "回到引用位置", "back"));
  if (m.menu && at >= m.menu->visible_at) {
    Node menu = node(ControlType::Pane, "", "menu", {node(ControlType::MenuItem, "复制", "menu:copy")});
    if (m.menu->can_locate) menu.children.push_back(node(ControlType::MenuItem, "定位到原文位置", "menu:locate"));
    window.children.push_back(std::move(menu));
  }
  mark_all(window, [](Node& n) { n.in_main_window = true; });
  return window;
}

// The login window's controls sit three levels below it (Window > Pane >
// Pane > controls), so that a search from the desktop must reach depth 4.
Node login_window(const Model& m) {
  Node window = node(ControlType::Window, "微信", "login");
  window.class_name = kLoginWindowClass;
  std::vector<Node> controls;
  if (m.login_stage == LoginStage::Notice) {
    controls.push_back(node(ControlType::Text, "你已退出微信", "login:notice"));
    controls.push_back(node(ControlType::Button, "确定", "login:ok"));
  } else if (m.login_stage == LoginStage::Buttons) {
    if (m.enter_button) controls.push_back(node(ControlType::Button, "进入微信", "login:enter"));
    if (m.login_button) controls.push_back(node(ControlType::Button, "登录", "login:login"));
  }
  add_nested(window, 3, "login:pane", std::move(controls));
  return window;
}

const Node* find_key(const Node& n, const std::string& key) {
  if (n.key == key) return &n;
  for (const Node& child : n.children)
    if (const Node* found = find_key(child, key)) return found;
  return nullptr;
}

bool matches(const Node& n, ControlType type, const uia::Search& s) {
  if (type != ControlType::Any && n.type != type) return false;
  return !s.Name || n.name == *s.Name;
}

// Depth-first, parents before their children; `remaining` counts down the
// matches still to skip.
const Node* search_below(const Node& n, ControlType type, const uia::Search& s, int depth, int& remaining) {
  if (s.searchDepth && depth > *s.searchDepth) return nullptr;
  for (const Node& child : n.children) {
    if (matches(child, type, s) && --remaining == 0) return &child;
    if (const Node* found = search_below(child, type, s, depth + 1, remaining)) return found;
  }
  return nullptr;
}

}  // namespace

Node Model::build_tree_locked(timing::SystemTime at) const {
  Node root = node(ControlType::Pane, "桌面", "root");
  for (std::size_t i = 0; i < options.windows_before.size(); ++i)
    root.children.push_back(other_window(options.windows_before[i], "before:" + std::to_string(i)));
  if (running) root.children.push_back(logged_in ? main_window(*this, at) : login_window(*this));
  if (viewer_open) root.children.push_back(node(ControlType::Window, "图片查看", "viewer"));
  for (std::size_t i = 0; i < options.windows_after.size(); ++i)
    root.children.push_back(other_window(options.windows_after[i], "after:" + std::to_string(i)));
  return root;
}

const Line* Model::picture_of_locked(const Line& line) {
  if (line.bytes) return &line;
  if (!line.quotes) return nullptr;
  const Line* quoted = find_line_locked(*line.quotes);
  return quoted && quoted->bytes ? quoted : nullptr;
}

bool Model::click_reaches_locked(const Node& n, const std::string& kind) {
  // The viewer stands over the main window, so it takes the click before
  // anything in the window is looked at.
  if (viewer_open && options.viewer_takes_clicks && n.in_main_window) {
    record_locked(kind + " taken by viewer", n.label);
    return false;
  }
  if (!n.on_screen) {
    record_locked(kind + " off screen", n.label);
    return false;
  }
  return true;
}

void Model::click_locked(const Node& n) {
  if (!click_reaches_locked(n, "Click")) return;
  record_locked("Click", n.label);
  const std::string& key = n.key;
  if (key == "nav:chat") {
    page = Page::Chat;
  } else if (key == "nav:contact") {
    page = Page::Contact;
    menu.reset();
  } else if (n.message_button) {
    Line* line = find_line_locked(n.line);
    if (line && picture_of_locked(*line)) viewer_open = true;
  } else if (key == "menu:copy" && menu) {
    Line* line = find_line_locked(menu->line);
    menu.reset();
    if (!line) return;
    record_locked("copy", line->content);
    // While another program holds the clipboard the client cannot write it;
    // what was there stays.
    if (clipboard->held_by_other_program()) return;
    // The copy lands after the copy delay; until then the clipboard keeps
    // what it held.
    const auto lands = timing::now() + to_duration(std::max(0.0, options.copy_delay));
    if (const Line* picture = picture_of_locked(*line)) {
      clipboard->set_files_at({write_picture_locked(*picture).string()}, lands);
    } else {
      clipboard->set_text_at(line->content, lands);
    }
  } else if (key == "menu:locate" && menu) {
    menu.reset();
    back_button = true;
  } else if (key == "back") {
    back_button = false;
  } else if (key == "login:ok") {
    login_stage = LoginStage::Buttons;
  } else if (key == "login:enter" || key == "login:login") {
    begin_login_locked();
  }
}

void Model::right_click_locked(const Node& n) {
  if (!click_reaches_locked(n, "RightClick")) return;
  record_locked("RightClick", n.label);
  if (!n.message_button) return;
  const Line* line = find_line_locked(n.line);
  if (!line || menu_suppressed) {
    menu.reset();
    return;
  }
  menu = ContextMenu{n.line, timing::now() + to_duration(options.menu_delay), line->is_quote};
}

namespace {

// A control: either a located node (the desktop root, or a child handed out
// by GetChildren), or a search below a parent control, made at each use.
class SimControl final : public uia::Control, public std::enable_shared_from_this<SimControl> {
 public:
  SimControl(std::shared_ptr<Model> model, std::string key, std::optional<std::uint64_t> generation = std::nullopt)
      : model_(std::move(model)), key_(std::move(key)), generation_(generation) {}
  SimControl(std::shared_ptr<Model> model, std::shared_ptr<SimControl> parent, ControlType type, uia::Search search)
      : model_(std::move(model)), parent_(std::move(parent)), type_(type), search_(std::move(search)) {}

  std::shared_ptr<Control> Find(ControlType type, uia::Search search) override {
    return std::make_shared<SimControl>(model_, shared_from_this(), type, std::move(search));
  }

  bool Exists(double seconds, double interval) override {
    CallScope scope(*model_, "Exists");
    if (search_fault()) return false;
    const auto deadline = timing::now() + to_duration(std::max(0.0, seconds));
    for (;;) {
      const auto now = timing::now();
      {
        std::lock_guard guard(model_->mu);
        model_->play_due_locked();
        // A stale element is gone for good: no wait brings it back.
        if (stale()) return false;
        Node tree = model_->build_tree_locked(std::min(now, deadline));
        if (resolve(tree)) return true;
      }
      double left = std::chrono::duration<double>(deadline - now).count();
      if (left <= 0.0) return false;
      timing::sleep(std::min(interval > 0.0 ? interval : left, left));
    }
  }

  std::string Name() override {
    return with_node("Name", [](Model&, const Node& n) { return n.name; });
  }

  std::string ClassName() override {
    return with_node("ClassName", [](Model&, const Node& n) { return n.class_name; });
  }

  std::vector<std::shared_ptr<Control>> GetChildren() override {
    return with_node("GetChildren", [this](Model& m, const Node& n) {
      std::vector<std::shared_ptr<Control>> children;
      for (const Node& child : n.children)
        children.push_back(std::make_shared<SimControl>(model_, child.key, generation_of(m, child)));
      return children;
    });
  }

  void Click() override {
    with_node("Click", [](Model& m, const Node& n) {
      m.click_locked(n);
      return 0;
    });
  }

  void RightClick() override {
    with_node("RightClick", [](Model& m, const Node& n) {
      m.right_click_locked(n);
      return 0;
    });
  }

  bool SetActive() override { return window_operation("SetActive"); }
  bool SetTopmost(bool topmost) override { return window_operation(topmost ? "SetTopmost" : "SetTopmost(false)"); }

 private:
  std::string describe() const {
    if (key_) return *key_;
    return control_type_name(type_) + "(Name=" + search_.Name.value_or("") + ")";
  }

  std::optional<std::string> search_fault_name() const {
    if (key_) return std::nullopt;
    return "search:" + control_type_name(type_) + ":" + search_.Name.value_or("");
  }

  bool search_fault() const {
    auto name = search_fault_name();
    return name && model_->faults->check(*name).has_value();
  }

  // The node this control stands for in `tree`, or null when it is not
  // there now.
  //
  // Like the automation library's, a control keeps the element it found:
  // once a search found an element of the message list, later uses act on
  // that element (and fail once the list is rebuilt) rather than searching
  // again. Called with the model's lock held.
  const Node* resolve(const Node& tree) const {
    if (key_) return find_key(tree, *key_);
    if (bound_key_) return find_key(tree, *bound_key_);
    const Node* start = parent_->resolve(tree);
    if (!start) return nullptr;
    int remaining = std::max(1, search_.foundIndex.value_or(1));
    const Node* found = search_below(*start, type_, search_, 1, remaining);
    if (found) {
      if (auto generation = generation_of(*model_, *found)) {
        bound_key_ = found->key;
        generation_ = generation;
      }
    }
    return found;
  }

  // The list generation a reference to `n` is taken in, for an element of
  // the message list when references can go stale.
  static std::optional<std::uint64_t> generation_of(const Model& m, const Node& n) {
    bool in_list = n.key == "list" || n.key.starts_with("item:");
    if (!in_list || !m.options.stale_references) return std::nullopt;
    return m.list_generation;
  }

  // Whether the element this control (or one it was found under) holds was
  // taken before the message list was last rebuilt. With the lock held.
  bool stale() const {
    if (generation_ && model_->stale_locked(*generation_)) return true;
    return parent_ && parent_->stale();
  }

  // Runs `f` on the control's node, waiting for it up to the search's time
  // limit; raises LookupError when it does not appear.
  template <class F>
  std::invoke_result_t<F, Model&, const Node&> with_node(const std::string& operation, F f) {
    CallScope scope(*model_, operation);
    if (search_fault()) throw LookupError("control not found: " + describe());
    const double timeout = search_.Timeout.value_or(uia::kDefaultSearchTimeout);
    const double deadline = timing::time() + std::max(0.0, timeout);
    for (;;) {
      {
        std::lock_guard guard(model_->mu);
        model_->play_due_locked();
        if (stale()) throw LookupError("control no longer exists (the message list was rebuilt): " + describe());
        Node tree = model_->build_tree_locked(timing::now());
        if (const Node* n = resolve(tree)) return f(*model_, *n);
      }
      double left = deadline - timing::time();
      if (left <= 0.0) throw LookupError("control not found: " + describe());
      timing::sleep(std::min(uia::kDefaultSearchInterval, left));
    }
  }

  bool window_operation(const std::string& operation) {
    return with_node(operation.substr(0, operation.find('(')), [&](Model& m, const Node& n) {
      if (m.faults->check(operation)) throw OSError(operation + ": access is denied");
      m.record_locked(operation, n.label);
      return true;
    });
  }

  const std::shared_ptr<Model> model_;
  const std::shared_ptr<SimControl> parent_;
  const std::optional<std::string> key_;
  const ControlType type_ = ControlType::Any;
  const uia::Search search_;
  // The element a search found in the message list, and the list generation
  // of a reference to an element of the message list. Guarded by model_->mu.
  mutable std::optional<std::string> bound_key_;
  mutable std::optional<std::uint64_t> generation_;
};

}  // namespace

std::shared_ptr<uia::Control> make_root_control(std::shared_ptr<Model> model) {
  return std::make_shared<SimControl>(std::move(model), "root");
}

}  // namespace orvanta::sim

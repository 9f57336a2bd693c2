// Image capture through the client window and the clipboard.

#include "orvanta/robot/image_capture.hpp"

#include <stdexcept>
#include <variant>
#include <vector>

#include "../processing/picture_file.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {
namespace {

// How long a control may take to appear, and the pauses that let the client
// react to a click.
constexpr double kAppearSeconds = 0.5;
constexpr double kClickPause = 0.3;

}  // namespace

namespace {

// Clicks and copies the picture of the newest message list entry `pick`
// chooses.
template <class Pick>
std::string capture_newest(Pick pick) {
  uia::Automation& uia = platform.wxauto.get()->Uia();
  auto window = uia.WindowControl({.Name = "微信", .searchDepth = 1});
  auto list = window->ListControl({.Name = "消息"});
  if (!list->Exists(kAppearSeconds)) throw std::runtime_error("未找到消息列表");

  // Newest first: a text that occurs in an older entry too must not take
  // that entry's picture.
  auto children = list->GetChildren();
  std::shared_ptr<uia::Control> target;
  for (auto it = children.rbegin(); it != children.rend() && !target; ++it)
    if (pick((*it)->Name())) target = *it;
  if (!target) throw std::runtime_error("消息列表中未出现该信息");

  auto button =
      target->PaneControl({.foundIndex = 1})->PaneControl({.foundIndex = 1})->ButtonControl({.foundIndex = 1});
  if (!button->Exists(kAppearSeconds)) {
    print_line("按钮层级异常，请 inspect.exe 确认");
    return {};
  }
  button->Click();
  return copy_img(std::move(button));
}

}  // namespace

std::string get_img_md5(const std::string& content) {
  return capture_newest([&](const std::string& name) { return name.find(content) != std::string::npos; });
}

std::string get_img_md5_of_entry(const std::string& shown_text) {
  if (shown_text.empty()) throw ValueError("no entry to capture: the shown text is empty");
  return capture_newest([&](const std::string& name) { return name == shown_text; });
}

std::string copy_img(std::shared_ptr<uia::Control> btn) {
  const auto driver = platform.wxauto.get();
  timing::sleep(kClickPause);
  btn->RightClick();
  auto copy = driver->Uia().MenuItemControl({.Name = "复制"});
  if (!copy->Exists(kAppearSeconds)) {
    print_line("未找到复制菜单项");
    return {};
  }
  copy->Click();
  // Lets the client put the file on the clipboard.
  timing::sleep(kClickPause);
  const std::string base64 = clipboard_image_to_base64();
  if (auto viewer = driver->MakeWeChatImage(); viewer && *viewer) viewer->close();
  return img_key(base64);
}

std::string clipboard_image_to_base64() {
  const auto clip = platform.clip.get();
  clip->OpenClipboard();
  std::string result;
  try {
    if (!clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP)) throw ValueError("剪贴板无文件");
    const ClipboardData data = clip->GetClipboardData(Clipboard::CF_HDROP);
    const auto* paths = std::get_if<std::vector<std::string>>(&data);
    if (paths == nullptr) throw ValueError("剪贴板无文件");
    if (paths->empty()) throw IndexError("tuple index out of range");
    result = base64_encode(read_picture_file(paths->front()));
  } catch (...) {
    // The clipboard is shared by every program: it is closed again whatever
    // went wrong, and the original failure is the one reported.
    try {
      clip->CloseClipboard();
    } catch (const std::exception&) {
    }
    throw;
  }
  clip->CloseClipboard();
  return result;
}

}  // namespace orvanta::robot

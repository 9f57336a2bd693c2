#pragma once

// The key of a picture shown in the open chat, obtained through the client's
// window: the message is found in the message list, clicked, copied with the
// context menu's "复制" entry, and the copied file is read from the clipboard.
//
// Thread-safety: these drive the client window and the system-wide
// clipboard; they run on the listening thread, one at a time.

#include <memory>
#include <string>

#include "orvanta/robot/export.hpp"
#include "orvanta/uia.hpp"

namespace orvanta::robot {

// The key of the picture whose message list entry contains `content` (the
// newest such entry: an older entry with the same text is not the one meant). Gives empty text, after printing
// "按钮层级异常，请 inspect.exe 确认", when the entry has no message button.
// Raises std::runtime_error "未找到消息列表" when the message list does not
// appear within 0.5 s, and "消息列表中未出现该信息" when no entry contains
// `content`; errors of the automation layer and of the clipboard read pass.
ORVANTA_ROBOT_EXPORT std::string get_img_md5(const std::string& content);

// The key of the picture quoted by the newest entry whose whole shown text is
// `shown_text`, as get_img_md5 finds it. Raises ValueError for an empty text
// (it would match nothing meant) and get_img_md5's errors otherwise.
ORVANTA_ROBOT_EXPORT std::string get_img_md5_of_entry(const std::string& shown_text);

// Copies the picture behind the message button `btn` (0.3 s wait,
// right-click, "复制", 0.3 s wait), reads it from the clipboard, closes the
// image viewer when one is open, and gives img_key of the Base64 text. Gives
// empty text, after printing "未找到复制菜单项", when the menu entry does not
// appear within 0.5 s.
ORVANTA_ROBOT_EXPORT std::string copy_img(std::shared_ptr<uia::Control> btn);

// The standard Base64 encoding of the first file of the clipboard's file
// list. Raises ValueError "剪贴板无文件" when the clipboard holds no file
// list, IndexError when the list is empty, OSError when the file cannot be
// read. Once opened, the clipboard is closed again whatever happens.
ORVANTA_ROBOT_EXPORT std::string clipboard_image_to_base64();

}  // namespace orvanta::robot

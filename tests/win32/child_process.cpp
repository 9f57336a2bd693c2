#include "child_process.hpp"

#include <atomic>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "orvanta/robot/command_line.hpp"
#include "orvanta/win32/platform.hpp"

namespace orvanta::win32::testing {
namespace {

constexpr DWORD kBoundMillis = 60'000;

std::wstring wide(const std::string& utf8) {
  return utf8_path(utf8).wstring();
}

std::wstring this_program() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return std::wstring(path, length);
}

HANDLE open_event(const std::string& name) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, wide(name).c_str());
  if (event == nullptr) throw std::runtime_error("cannot open event " + name);
  return event;
}

// Opens the clipboard as programs do, with a (message-only) window of the
// calling thread as its owner; nullptr when it is held by someone else.
HWND open_clipboard_with_window() {
  HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (owner == nullptr) throw std::runtime_error("cannot create a window");
  if (OpenClipboard(owner)) return owner;
  DestroyWindow(owner);
  return nullptr;
}

// Opens and empties the clipboard for writing; the window becomes the owner
// of what is put on it.
HWND open_clipboard_for_writing() {
  HWND owner = open_clipboard_with_window();
  if (owner == nullptr || !EmptyClipboard()) throw std::runtime_error("cannot open clipboard");
  return owner;
}

void put(UINT format, const void* bytes, std::size_t size) {
  HWND owner = open_clipboard_for_writing();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  std::memcpy(GlobalLock(memory), bytes, size);
  GlobalUnlock(memory);
  if (SetClipboardData(format, memory) == nullptr) throw std::runtime_error("SetClipboardData failed");
  CloseClipboard();
  DestroyWindow(owner);
}

// A file list as Explorer puts it: DROPFILES, then the wide paths, each
// ended by NUL, and one more NUL.
void put_files(const std::vector<std::string>& paths) {
  std::wstring list;
  for (const auto& path : paths) list += wide(path) + L'\0';
  list += L'\0';
  std::string block(sizeof(DROPFILES) + list.size() * sizeof(wchar_t), '\0');
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.fWide = TRUE;
  std::memcpy(block.data(), &header, sizeof header);
  std::memcpy(block.data() + sizeof header, list.data(), list.size() * sizeof(wchar_t));
  put(Clipboard::CF_HDROP, block.data(), block.size());
}

void put_text(const std::string& text) {
  const std::wstring chars = wide(text);
  put(Clipboard::CF_UNICODETEXT, chars.c_str(), (chars.size() + 1) * sizeof(wchar_t));
}

int child_main(const std::vector<std::string>& args) {
  const std::string& mode = args.at(0);
  if (mode == "put-files") {
    put_files({args.begin() + 1, args.end()});
  } else if (mode == "put-text") {
    put_text(args.at(1));
  } else if (mode == "clear") {
    HWND owner = open_clipboard_for_writing();
    CloseClipboard();
    DestroyWindow(owner);
  } else if (mode == "hold") {  // hold <ready> <release>
    HWND owner = open_clipboard_with_window();
    if (owner == nullptr) return 3;
    SetEvent(open_event(args.at(1)));
    WaitForSingleObject(open_event(args.at(2)), kBoundMillis);
    CloseClipboard();
    DestroyWindow(owner);
  } else if (mode == "window") {  // window <class> <ready> <release>
    const std::wstring name = wide(args.at(1));
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.lpszClassName = name.c_str();
    if (RegisterClassExW(&window_class) == 0) return 3;
    HWND window = CreateWindowExW(0, name.c_str(), L"orvanta test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    if (window == nullptr) return 4;
    SetEvent(open_event(args.at(2)));
    WaitForSingleObject(open_event(args.at(3)), kBoundMillis);
    DestroyWindow(window);
  } else if (mode == "print-args") {  // print-args <file> <done> <args...>
    // The program and its arguments as the shell layer reads them, each
    // ended by NUL.
    auto shell = make_shell();
    std::ofstream out(utf8_path(args.at(1)), std::ios::binary);
    out << shell->executable() << '\0';
    for (const auto& arg : shell->arguments()) out << arg << '\0';
    out.close();
    SetEvent(open_event(args.at(2)));
  } else if (mode == "exit") {
    make_shell()->exit(std::stoi(args.at(1)));
  } else {
    return 2;
  }
  return 0;
}

}  // namespace

int run_as_child() {
  const std::vector<std::string> args = make_shell()->arguments();
  if (args.empty() || args[0] != kChildFlag) return -1;
  try {
    return child_main({args.begin() + 1, args.end()});
  } catch (const std::exception&) {
    return 5;
  }
}

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  std::vector<std::string> line{kChildFlag};
  line.insert(line.end(), args.begin(), args.end());
  const std::wstring program = this_program();
  std::wstring command = L"\"" + program + L"\" " + wide(robot::windows_command_line(line));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_))
    throw std::runtime_error("cannot start the helper process");
}

ChildProcess::~ChildProcess() {
  if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool ChildProcess::wait_until(const NamedEvent& event) const {
  const HANDLE handles[] = {event.handle(), info_.hProcess};
  return WaitForMultipleObjects(2, handles, FALSE, kBoundMillis) == WAIT_OBJECT_0;
}

DWORD ChildProcess::wait() {
  if (WaitForSingleObject(info_.hProcess, kBoundMillis) != WAIT_OBJECT_0) return 98;
  DWORD status = 0;
  GetExitCodeProcess(info_.hProcess, &status);
  return status;
}

DWORD run_child(const std::vector<std::string>& args) {
  return ChildProcess(args).wait();
}

NamedEvent::NamedEvent() {
  static std::atomic<int> counter{0};
  name_ = "Local\\orvanta-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  handle_ = CreateEventW(nullptr, TRUE, FALSE, wide(name_).c_str());
  if (handle_ == nullptr) throw std::runtime_error("cannot create event " + name_);
}

NamedEvent::~NamedEvent() {
  CloseHandle(handle_);
}

bool NamedEvent::wait() const {
  return WaitForSingleObject(handle_, kBoundMillis) == WAIT_OBJECT_0;
}

void NamedEvent::set() const {
  SetEvent(handle_);
}

std::filesystem::path utf8_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("orvanta-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool clipboard_free() {
  bool opened = false;
  std::thread([&opened] {
    HWND owner = open_clipboard_with_window();
    opened = owner != nullptr;
    if (opened) {
      CloseClipboard();
      DestroyWindow(owner);
    }
  }).join();
  return opened;
}

}  // namespace orvanta::win32::testing

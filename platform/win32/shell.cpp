// The shell and the running process through shell32 and kernel32.

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "orvanta/errors.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"
#include "text.hpp"

namespace orvanta::win32 {
namespace {

class Win32Shell final : public Shell {
 public:
  std::optional<long> getuid() const override { return std::nullopt; }

  int IsUserAnAdmin() const override { return ::IsUserAnAdmin() ? 1 : 0; }

  std::intptr_t ShellExecuteW(std::uintptr_t hwnd, const std::string& operation, const std::string& file,
                              const std::string& parameters, const std::optional<std::string>& directory,
                              int show) override {
    const std::wstring wide_operation = widen(operation);
    const std::wstring wide_file = widen(file);
    const std::wstring wide_parameters = widen(parameters);
    const std::wstring wide_directory = directory ? widen(*directory) : std::wstring();
    HINSTANCE result = ::ShellExecuteW(reinterpret_cast<HWND>(hwnd), wide_operation.c_str(), wide_file.c_str(),
                                       wide_parameters.c_str(), directory ? wide_directory.c_str() : nullptr, show);
    return reinterpret_cast<std::intptr_t>(result);
  }

  std::string executable() const override {
    // The path may be longer than MAX_PATH; grow until it fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (length == 0) throw OSError(error_text("GetModuleFileNameW", GetLastError()));
      if (length < path.size()) {
        path.resize(length);
        return narrow(path);
      }
      path.resize(path.size() * 2);
    }
  }

  std::vector<std::string> arguments() const override {
    int count = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> argv(CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    if (!argv) throw OSError(error_text("CommandLineToArgvW", GetLastError()));
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(narrow(argv.get()[i]));
    return args;
  }

  [[noreturn]] void exit(int status) override { std::exit(status); }
};

}  // namespace

std::shared_ptr<Shell> make_shell() {
  return std::make_shared<Win32Shell>();
}

}  // namespace orvanta::win32

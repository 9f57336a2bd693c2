#include <mutex>
#include <utility>

#include "orvanta/sim/shell.hpp"

namespace orvanta::sim {
namespace {

class SimShellImpl final : public SimShell {
 public:
  std::optional<long> getuid() const override {
    std::lock_guard guard(mu_);
    return uid_;
  }

  int IsUserAnAdmin() const override {
    std::lock_guard guard(mu_);
    return admin_ ? 1 : 0;
  }

  std::intptr_t ShellExecuteW(std::uintptr_t hwnd, const std::string& operation, const std::string& file,
                              const std::string& parameters, const std::optional<std::string>& directory,
                              int show) override {
    std::lock_guard guard(mu_);
    requests_.push_back(ShellRequest{hwnd, operation, file, parameters, directory, show});
    return execute_result_;
  }

  std::string executable() const override {
    std::lock_guard guard(mu_);
    return executable_;
  }

  std::vector<std::string> arguments() const override {
    std::lock_guard guard(mu_);
    return arguments_;
  }

  [[noreturn]] void exit(int status) override {
    {
      std::lock_guard guard(mu_);
      exits_.push_back(status);
    }
    throw ProcessExit(status);
  }

  void set_uid(std::optional<long> uid) override {
    std::lock_guard guard(mu_);
    uid_ = uid;
  }
  void set_admin(bool admin) override {
    std::lock_guard guard(mu_);
    admin_ = admin;
  }
  void set_command_line(std::string executable, std::vector<std::string> arguments) override {
    std::lock_guard guard(mu_);
    executable_ = std::move(executable);
    arguments_ = std::move(arguments);
  }
  void set_execute_result(std::intptr_t result) override {
    std::lock_guard guard(mu_);
    execute_result_ = result;
  }
  std::vector<ShellRequest> requests() const override {
    std::lock_guard guard(mu_);
    return requests_;
  }
  std::vector<int> exits() const override {
    std::lock_guard guard(mu_);
    return exits_;
  }

 private:
  mutable std::mutex mu_;
  std::optional<long> uid_ = 0;         // guarded by mu_
  bool admin_ = true;                   // guarded by mu_
  std::string executable_ = "orvanta";  // guarded by mu_
  std::vector<std::string> arguments_;  // guarded by mu_
  std::intptr_t execute_result_ = 42;   // guarded by mu_
  std::vector<ShellRequest> requests_;  // guarded by mu_
  std::vector<int> exits_;              // guarded by mu_
};

}  // namespace

std::shared_ptr<SimShell> make_sim_shell() {
  return std::make_shared<SimShellImpl>();
}

}  // namespace orvanta::sim

#pragma once

// Runs the `orvanta` program as a child process for end-to-end tests.

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvanta::testing {

class ChildProcess {
 public:
  // Starts `argv` with standard output and standard error written to the
  // two files, and `env` added to the environment.
  ChildProcess(const std::vector<std::string>& argv, const std::string& out_file, const std::string& err_file,
               const std::vector<std::string>& env = {}) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child must not keep the test's sockets (a test server's listening
    // socket would stay open in it after the server closed it).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ~ChildProcess() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) { ::kill(pid_, sig); }

  // Waits up to `limit` of real time for the child to end; its exit status,
  // 128 + signal number when a signal ended it, or -1 when it did not end
  // (it is then killed).
  int wait(std::chrono::seconds limit = std::chrono::seconds(180)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exited_ = true;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }

 private:
  pid_t pid_ = 0;
  bool exited_ = false;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace orvanta::testing

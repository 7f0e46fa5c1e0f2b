// Programs of the project run as processes of their own, for the tests and
// benchmarks that need a real process (kill -9, a broker): started with
// their output in a file, waited for by polling, ended on every way out.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace tarvenix::testing {

// args[0] (a path) with stdout and stderr appended to `output`; the pid, or
// -1 when it could not start.
inline pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits for the child to end; its wait status.
inline int Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// The whole file; empty when there is none yet.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `done` until it holds or `limit` has passed; whether it holds.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A process the test owns: ended (TERM, then KILL) and reaped on every way
// out.
class Process {
 public:
  Process() = default;
  Process(const std::vector<std::string>& args, const std::filesystem::path& output)
      : pid_(Spawn(args, output)) {}
  Process(Process&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Process& operator=(Process&& other) noexcept {
    End();
    pid_ = std::exchange(other.pid_, -1);
    return *this;
  }
  ~Process() { End(); }
  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  // SIGTERM; the exit status.
  int End() {
    int status = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                   std::chrono::seconds(15))) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      pid_ = -1;
    }
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// A loopback TCP port free at the time of asking.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace tarvenix::testing

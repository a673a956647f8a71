#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace tarq {

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::string& errorPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<char*> argv;
  for (std::string& word : arguments) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  const int failure = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot run " + arguments[0] + ": " + strerror(failure));
  }
}

ChildProcess::~ChildProcess() {
  end(SIGTERM);
}

void ChildProcess::signal(int number) const {
  if (pid_ > 0) {
    ::kill(pid_, number);
  }
}

bool ChildProcess::end(int number) {
  if (pid_ <= 0) {
    return false;
  }
  ::kill(pid_, number);
  ::kill(pid_, SIGCONT);  // a stopped child acts on it only once continued
  bool killed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (!killed && std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  return killed;
}

}  // namespace tarq

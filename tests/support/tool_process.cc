#include "tests/support/tool_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace tarq::testing {
namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string(what) + ": " + strerror(errno));
  }
}

}  // namespace

ToolProcess::ToolProcess(std::vector<std::string> arguments, int descriptor3) {
  // A program that has exited must fail a write, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  int input[2];
  int output[2];
  check(pipe2(input, O_CLOEXEC) == 0 && pipe2(output, O_CLOEXEC) == 0, "pipe");
  errorFile_ = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  check(errorFile_ >= 0, "O_TMPFILE");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errorFile_, STDERR_FILENO);
  if (descriptor3 >= 0) {
    posix_spawn_file_actions_adddup2(&actions, descriptor3, 3);
  }
  std::vector<char*> argv;
  for (std::string& word : arguments) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  int failure = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  input_ = input[1];
  output_ = output[0];
  if (failure != 0) {
    throw std::runtime_error("cannot run " + arguments[0] + ": " + strerror(failure));
  }
}

ToolProcess::~ToolProcess() {
  // SIGTERM first, so that a helper still running stops its engine instead
  // of leaving it behind.
  signal(SIGTERM);
  if (!waitForExit(3s)) {
    signal(SIGKILL);
    waitForExit();
  }
  closeInput();
  close(output_);
  close(errorFile_);
}

void ToolProcess::writeLine(const std::string& line) {
  std::string bytes = line + "\n";
  if (write(input_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("cannot write to the program");
  }
}

void ToolProcess::closeInput() {
  if (input_ >= 0) {
    close(std::exchange(input_, -1));
  }
}

std::optional<std::string> ToolProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watched{output_, POLLIN, 0};
    char chunk[4096];
    ssize_t count = 0;
    if (left.count() <= 0 || poll(&watched, 1, static_cast<int>(left.count())) <= 0 ||
        (count = read(output_, chunk, sizeof chunk)) <= 0) {
      return std::nullopt;
    }
    buffered_.append(chunk, static_cast<size_t>(count));
  }
}

std::optional<int> ToolProcess::waitForExit(std::chrono::milliseconds timeout) {
  for (auto deadline = Clock::now() + timeout; !exitStatus_ && Clock::now() < deadline;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }
  return exitStatus_;
}

void ToolProcess::signal(int number) const {
  if (!exitStatus_ && pid_ > 0) {
    kill(pid_, number);
  }
}

std::string ToolProcess::errorText() const {
  // A fresh open reads from the start, whatever the offset the program left.
  std::ifstream file("/proc/self/fd/" + std::to_string(errorFile_), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

ToolRun runTool(std::vector<std::string> arguments) {
  ToolProcess process(std::move(arguments));
  process.closeInput();
  ToolRun run;
  while (auto line = process.readLine(60s)) {
    run.out += *line + "\n";
  }
  run.status = process.waitForExit(60s).value_or(-1);
  run.err = process.errorText();
  return run;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  for (auto deadline = Clock::now() + timeout; !condition(); std::this_thread::sleep_for(10ms)) {
    if (Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

int connectUnix(const std::string& socketPath, std::optional<uid_t> asUid) {
  // The helper knows its caller by the credentials of connect(), which are
  // the effective ids at that moment.
  if (asUid) {
    check(setegid(*asUid) == 0 && seteuid(*asUid) == 0, "seteuid");
  }
  int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(std::exchange(connection, -1));
  }
  if (asUid) {
    check(seteuid(0) == 0 && setegid(0) == 0, "seteuid back");
  }
  return connection;
}

std::string receiveLine(int connection) {
  timeval timeout{10, 0};
  std::string line;
  if (setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0) {
    for (char byte; recv(connection, &byte, 1, 0) == 1 && byte != '\n';) {
      line.push_back(byte);
    }
  }
  return line;
}

std::string helperExchange(const std::string& socketPath, const std::string& request,
                           std::optional<uid_t> asUid) {
  int connection = connectUnix(socketPath, asUid);
  std::string line = request + "\n";
  std::string reply;
  if (connection >= 0 && send(connection, line.data(), line.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(line.size())) {
    reply = receiveLine(connection);
  }
  close(connection);
  return reply;
}

int freeLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  check(bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0,
        "bind");
  close(probe);
  return ntohs(address.sin_port);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string engineConfig(int port, const std::string& secret) {
  nlohmann::json config = {
      {"outbounds",
       {{{"type", "selector"}, {"tag", "tarq"}, {"outbounds", {"direct-a", "direct-b"}}},
        {{"type", "direct"}, {"tag", "direct-a"}},
        {{"type", "direct"}, {"tag", "direct-b"}}}},
      {"experimental",
       {{"clash_api",
         {{"external_controller", "127.0.0.1:" + std::to_string(port)}, {"secret", secret}}}}}};
  return config.dump();
}

}  // namespace tarq::testing

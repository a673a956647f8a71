// tarq-helper started the way systemd starts a socket-activated service: the
// listening socket is descriptor 3, LISTEN_FDS counts it and LISTEN_PID names
// the helper's own process.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/tools/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperActivationTest : public HelperFixture {
 protected:
  void TearDown() override {
    if (helper_ > 0) {
      kill(helper_, SIGTERM);
      waitpid(helper_, nullptr, 0);
    }
  }

  int listeningSocket() {
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 8), 0);
    return listener;
  }

  // fork, then in the child: the variables, descriptor 3, exec.
  void startActivated(int listener) {
    std::vector<std::string> words = {TARQ_HELPER_PATH, "--socket", dir_.file("unused.sock"),
                                      "--state-dir",    state_,     "--engine",
                                      engine_,          "--log",    log_};
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // Made before fork(): the child only fills in its pid, dups and execs.
    char listenPid[32] = "LISTEN_PID=";
    char listenFds[] = "LISTEN_FDS=1";
    std::vector<char*> environment = {listenPid, listenFds};
    for (char** variable = environ; *variable != nullptr; ++variable) {
      environment.push_back(*variable);
    }
    environment.push_back(nullptr);
    helper_ = fork();
    if (helper_ == 0) {
      snprintf(listenPid, sizeof listenPid, "LISTEN_PID=%d", static_cast<int>(getpid()));
      dup2(listener, 3);
      execve(argv[0], argv.data(), environment.data());
      _exit(127);
    }
    close(listener);
  }

  pid_t helper_ = -1;
};

TEST_F(HelperActivationTest, ServesOnTheSocketHandedOverAndLeavesItsFileAlone) {
  startActivated(listeningSocket());
  // Connections made before the helper runs wait in the backlog.
  EXPECT_EQ(status(),
            json({{"ok", true}, {"running", false}, {"pid", 0}, {"build", "tarq-helper 0.1.0"}}));
  writeFile(config_, engineConfig(freeLoopbackPort(), "s"));
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  pid_t engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);
  // The engine does not inherit the activation variables.
  std::ifstream environment("/proc/" + std::to_string(engine) + "/environ");
  std::string variables((std::istreambuf_iterator<char>(environment)), {});
  EXPECT_EQ(variables.find("LISTEN_PID"), std::string::npos);

  kill(helper_, SIGTERM);
  int waitStatus = 0;
  ASSERT_EQ(waitpid(std::exchange(helper_, -1), &waitStatus, 0) > 0 && WIFEXITED(waitStatus) &&
                WEXITSTATUS(waitStatus) == 0,
            true);
  EXPECT_EQ(access(socket_.c_str(), F_OK), 0);
  EXPECT_NE(access(dir_.file("unused.sock").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tarq::testing

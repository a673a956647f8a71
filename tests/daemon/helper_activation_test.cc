// tarq-helper started the way systemd starts a socket-activated service: the
// listening socket is descriptor 3, LISTEN_FDS counts it and LISTEN_PID names
// the helper's own process.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperActivationTest : public HelperFixture {
 protected:
  // The shell execs the helper, so its own pid ($$) is the helper's.
  void startActivated() {
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    std::vector<std::string> command = {"/bin/sh",
                                        "-c",
                                        R"(export LISTEN_PID=$$ LISTEN_FDS=1; exec "$@")",
                                        "sh",
                                        TARQ_HELPER_PATH,
                                        "--socket",
                                        dir_.file("unused.sock"),
                                        "--state-dir",
                                        state_,
                                        "--engine",
                                        engine_,
                                        "--log",
                                        log_};
    command.insert(command.end(), kEngineUser.begin(), kEngineUser.end());
    helper_ = std::make_unique<ToolProcess>(command, listener);
    close(listener);
  }
};

TEST_F(HelperActivationTest, ServesOnTheSocketHandedOverAndLeavesItsFileAlone) {
  startActivated();
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

  helper_->signal(SIGTERM);
  EXPECT_EQ(helper_->waitForExit(), 0) << helper_->errorText();
  EXPECT_EQ(access(socket_.c_str(), F_OK), 0);
  EXPECT_NE(access(dir_.file("unused.sock").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tarq::testing

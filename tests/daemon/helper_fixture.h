// A helper daemon of tools/ running on a socket in a fresh folder, with the
// stand-in engine, and one-line exchanges with it.
#ifndef TARQ_TESTS_DAEMON_HELPER_FIXTURE_H_
#define TARQ_TESTS_DAEMON_HELPER_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/tool_process.h"

namespace tarq::testing {

inline constexpr uid_t kNobody = 65534;

class HelperFixture : public ::testing::Test {
 protected:
  using json = nlohmann::json;

  // The engine's user must pass through the fixture's folder to reach its
  // copy and its working folder.
  HelperFixture() { openFolder(); }

  // Starts `program` with the fixture's socket, state folder and engine,
  // followed by `extra`; waits until its socket accepts connections (the
  // file exists a moment before the helper listens on it, and a helper
  // replaced may have left its own). As root the engine runs as the user
  // nobody unless `extra` names another.
  void startHelper(const std::vector<std::string>& extra, const char* program = TARQ_HELPER_PATH) {
    helper_.reset();
    std::vector<std::string> arguments = {program,    "--socket", socket_, "--state-dir", state_,
                                          "--engine", engine_,    "--log", log_};
    if (std::find(extra.begin(), extra.end(), "--engine-user") == extra.end()) {
      arguments.insert(arguments.end(), kEngineUser.begin(), kEngineUser.end());
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    helper_ = std::make_unique<ToolProcess>(arguments);
    ASSERT_TRUE(eventually([&] {
      int probe = connectUnix(socket_);
      if (probe < 0) {
        return false;
      }
      close(probe);  // a connection that sends nothing is answered with nothing
      return true;
    })) << helper_->errorText();
  }
  // Lets other users reach the socket and the state folder in the fixture's
  // folder.
  void openFolder() { ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0); }

  json request(const json& line, std::optional<uid_t> asUid = std::nullopt) {
    return json::parse(helperExchange(socket_, line.dump(), asUid), nullptr, false);
  }
  json start(const std::string& path, std::optional<uid_t> asUid = std::nullopt) {
    return request({{"op", "start"}, {"config_path", path}}, asUid);
  }
  json status() { return request({{"op", "status"}}); }

  // The engine's user for a root daemon: nobody, which every system has.
  const std::vector<std::string> kEngineUser =
      geteuid() == 0 ? std::vector<std::string>{"--engine-user", "nobody"}
                     : std::vector<std::string>{};

  TempDir dir_;
  std::string socket_ = dir_.file("helper.sock");
  std::string state_ = dir_.file("state");
  std::string config_ = dir_.file("config.json");
  std::string engine_ = TARQ_SIMENGINE_PATH;
  std::string log_ = dir_.file("logs/sing-box.log");
  std::unique_ptr<ToolProcess> helper_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_DAEMON_HELPER_FIXTURE_H_

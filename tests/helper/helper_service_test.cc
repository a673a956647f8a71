#include "helper/helper_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/fake_helper_daemon.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_registration.h"
#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

using testing::FakeHelperDaemon;
using testing::FakeRegistration;
using testing::FakeReply;
using Events = std::vector<std::string>;

TEST(HelperServiceDecisionTest, EveryOutcomeCompletesExactlyOnce) {
  const std::optional<std::string> no, denied = "Operation not permitted";
  const std::optional<int> same;
  struct Row {
    int status;
    bool answers;
    std::optional<std::string> unregisterError;
    std::optional<int> statusAfterRegister;
    std::optional<std::string> registerError;
    bool usable;
    int registers, unregisters;
    std::string log;
  };
  // clang-format off
  const Row rows[] = {
      {1, true,  no,     same, no,     true,  0, 0, ""},  // enabled and answering
      {1, false, denied, same, no,     false, 0, 1, "tarq: helper unregister for recovery: " + *denied},
      {1, false, no,     1,    no,     true,  1, 1, ""},  // silent: registered again
      {1, false, no,     2,    no,     false, 1, 1, ""},  // silent: again unapproved
      {2, false, no,     1,    no,     false, 0, 0, ""},  // requires approval
      {0, false, no,     1,    no,     true,  1, 0, ""},  // not registered
      {3, false, no,     1,    denied, true,  1, 0, "tarq: helper registration: " + *denied},
      {7, false, no,     2,    no,     false, 1, 0, ""},  // unknown status
      {0, false, no,     same, denied, false, 1, 0, "tarq: helper registration: " + *denied},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    auto log = std::make_shared<MemoryLog>();
    auto registration = std::make_shared<FakeRegistration>();
    registration->currentStatus = row.status;
    registration->unregisterOnAnotherThread = false;
    registration->unregisterError = row.unregisterError;
    registration->statusAfterRegister = row.statusAfterRegister;
    registration->registerError = row.registerError;
    Events events;
    int respondsCalls = 0;
    HelperService::prepare(
        registration, [&] { return ++respondsCalls, row.answers; },
        [&] { events.push_back("settings"); },
        [&](bool usable) { events.push_back(usable ? "true" : "false"); }, log);

    EXPECT_EQ(events, (row.usable ? Events{"true"} : Events{"settings", "false"}));
    EXPECT_EQ(respondsCalls, row.status == 1 ? 1 : 0);
    EXPECT_EQ(registration->registerCalls, row.registers);
    EXPECT_EQ(registration->unregisterCalls, row.unregisters);
    EXPECT_EQ(log->lines(), row.log.empty() ? Events{} : Events{row.log});
  }
}

// The entry point, with a bundle, a registration service and a socket.
TEST(HelperServiceTest, PreparesOnlyABundledDaemonOnNewSystemsAndPollsItOnTheClock) {
  testing::TempDir dir;
  auto clock = std::make_shared<VirtualClock>();
  auto platform =
      std::make_shared<testing::FakePlatform>(std::nullopt, dir.path(), OsVersion{12, 7, 4});
  auto registry = std::make_shared<testing::FakeRegistrationService>();
  HelperService service(
      {clock, platform, std::make_shared<MemoryLog>(), registry, dir.file("helper.sock")});
  std::vector<bool> results;
  auto prepare = [&] { service.prepare([&](bool usable) { results.push_back(usable); }); };
  // The virtual seconds that `call` took.
  auto secondsOf = [&](auto call) {
    SteadyTime start = clock->now();
    call();
    return std::chrono::duration<double>(clock->now() - start).count();
  };
  prepare();  // old system
  platform->setOsVersion({14, 4, 1});
  prepare();  // no daemon in the bundle
  EXPECT_EQ(registry->lastPlistName, "");
  std::filesystem::create_directories(dir.file(kLaunchDaemonsFolder));
  std::ofstream(dir.file(kLaunchDaemonsFolder) + kHelperPlistName) << "<plist/>";
  auto registration = std::exchange(registry->registration, nullptr);
  prepare();  // no registration service
  EXPECT_EQ(registry->lastPlistName, kHelperPlistName);
  EXPECT_EQ(RegistrationService::system()->daemon(kHelperPlistName), nullptr);  // Linux

  registry->registration = registration;
  registration->currentStatus = kRegistrationEnabled;
  registration->unregisterOnAnotherThread = false;
  registration->statusAfterRegister = kRegistrationRequiresApproval;
  // Enabled but silent for 120 attempts 0.1 s apart: recovered, then waiting for approval.
  EXPECT_DOUBLE_EQ(secondsOf(prepare), 12.0);
  EXPECT_EQ(registration->unregisterCalls, 1);
  EXPECT_EQ(registry->settingsOpened, 1);
  EXPECT_EQ(results, (std::vector<bool>{true, true, true, false}));
  EXPECT_DOUBLE_EQ(secondsOf([&] { EXPECT_FALSE(service.helperResponds(0.0)); }), 0.1);

  FakeHelperDaemon daemon(dir.file("helper.sock"));
  int connections = 0;
  daemon.setResponder([&connections](const nlohmann::json&) {
    const FakeReply replies[] = {FakeReply::json({{"ok", false}}),
                                 FakeReply{.closeBeforeReading = true}, FakeReply::line("[]"),
                                 FakeReply::line("not json")};
    return connections < 4 ? replies[connections++] : FakeReply::line("{}");
  });
  // A refusal is an answer too; failures to connect or to decode are not.
  EXPECT_EQ(secondsOf([&] { EXPECT_TRUE(service.helperResponds(0.0)); }), 0.0);
  EXPECT_DOUBLE_EQ(secondsOf([&] { EXPECT_TRUE(service.helperResponds(kPrepareWaitSeconds)); }),
                   0.3);
  EXPECT_EQ(daemon.ops().size(), 5u);
}

}  // namespace
}  // namespace tarq

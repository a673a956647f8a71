#include "helper/helper_service.h"

#include <gtest/gtest.h>

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

// Polling runs on the injected clock: an attempt every 0.1 s until a reply
// decodes or the wait has passed after an attempt and its pause.
TEST(HelperServiceTest, PollsTheDaemonOnTheClockUntilAReplyDecodes) {
  testing::TempDir dir;
  auto clock = std::make_shared<VirtualClock>();
  HelperService service(
      {clock, std::make_shared<testing::FakePlatform>(std::nullopt, dir.path(), OsVersion{14, 4}),
       std::make_shared<MemoryLog>(), std::make_shared<testing::FakeRegistrationService>(),
       dir.file("helper.sock")});
  EXPECT_EQ(RegistrationService::system()->daemon(kHelperPlistName), nullptr);  // Linux
  bool responds = true;
  auto secondsOf = [&](double waitSeconds) {
    const SteadyTime start = clock->now();
    responds = service.helperResponds(waitSeconds);
    return std::chrono::duration<double>(clock->now() - start).count();
  };
  EXPECT_DOUBLE_EQ(secondsOf(kPrepareWaitSeconds), 12.0);  // 120 attempts
  EXPECT_FALSE(responds);
  EXPECT_DOUBLE_EQ(secondsOf(0.0), 0.1);  // still one attempt
  EXPECT_FALSE(responds);

  FakeHelperDaemon daemon(dir.file("helper.sock"));
  int connections = 0;
  daemon.setResponder([&connections](const nlohmann::json&) {
    const FakeReply replies[] = {FakeReply::json({{"ok", false}}),
                                 FakeReply{.closeBeforeReading = true}, FakeReply::line("[]"),
                                 FakeReply::line("not json")};
    return connections < 4 ? replies[connections++] : FakeReply::line("{}");
  });
  EXPECT_DOUBLE_EQ(secondsOf(0.0), 0.0);  // a refusal is an answer too
  EXPECT_TRUE(responds);
  EXPECT_DOUBLE_EQ(secondsOf(kPrepareWaitSeconds), 0.3);  // three failures first
  EXPECT_TRUE(responds);
  EXPECT_EQ(daemon.ops().size(), 5u);
}

}  // namespace
}  // namespace tarq

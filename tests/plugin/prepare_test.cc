// "prepare" through the host against a scripted registration service: every
// outcome, each answered exactly once.
#include <gtest/gtest.h>

#include "helper/helper_service.h"
#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

struct PrepareCase {
  std::string name;
  int status;
  bool daemonAnswers = false;
  std::optional<std::string> unregisterError;
  std::optional<int> statusAfterRegister;
  std::optional<std::string> registerError;
  // Expected:
  bool usable = false;
  int registers = 0;
  int unregisters = 0;
  int settings = 0;
  std::vector<std::string> log;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const PrepareCase& c, std::ostream* out) {
  *out << c.name;
}

class PrepareTest : public ::testing::TestWithParam<PrepareCase> {};

TEST_P(PrepareTest, AnswersOnceWithTheOutcome) {
  const PrepareCase& c = GetParam();
  PluginHarness harness({.bundled = true});
  std::optional<FakeHelperDaemon> daemon;
  if (c.daemonAnswers) {
    daemon.emplace(harness.socketPath);
  }
  FakeRegistration& registration = *harness.registration->registration;
  registration.currentStatus = c.status;
  registration.unregisterError = c.unregisterError;
  registration.statusAfterRegister = c.statusAfterRegister;
  registration.registerError = c.registerError;

  EXPECT_EQ(*asValue(harness.call("prepare")), Value(c.usable));
  EXPECT_EQ(registration.registerCalls, c.registers);
  EXPECT_EQ(registration.unregisterCalls, c.unregisters);
  EXPECT_EQ(harness.registration->settingsOpened, c.settings);
  EXPECT_EQ(harness.log->lines(), c.log);
  EXPECT_EQ(harness.registration->lastPlistName, kHelperPlistName);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PrepareTest,
    ::testing::Values(
        PrepareCase{
            .name = "EnabledAndAnswering", .status = 1, .daemonAnswers = true, .usable = true},
        PrepareCase{.name = "SilentUnregisterFails",
                    .status = 1,
                    .unregisterError = "Operation not permitted",
                    .unregisters = 1,
                    .settings = 1,
                    .log = {"tarq: helper unregister for recovery: Operation not permitted"}},
        PrepareCase{.name = "SilentReRegistered",
                    .status = 1,
                    .statusAfterRegister = 1,
                    .usable = true,
                    .registers = 1,
                    .unregisters = 1},
        PrepareCase{.name = "SilentReRegisteredNeedsApproval",
                    .status = 1,
                    .statusAfterRegister = 2,
                    .registers = 1,
                    .unregisters = 1,
                    .settings = 1},
        PrepareCase{.name = "AwaitingApproval", .status = 2, .settings = 1},
        PrepareCase{.name = "NotRegistered",
                    .status = 0,
                    .statusAfterRegister = 1,
                    .usable = true,
                    .registers = 1},
        PrepareCase{.name = "NotFound",
                    .status = 3,
                    .statusAfterRegister = 1,
                    .usable = true,
                    .registers = 1},
        PrepareCase{.name = "UnknownStatus",
                    .status = 17,
                    .statusAfterRegister = 1,
                    .usable = true,
                    .registers = 1},
        PrepareCase{.name = "FailedRegistrationButEnabled",
                    .status = 0,
                    .statusAfterRegister = 1,
                    .registerError = "Invalid argument",
                    .usable = true,
                    .registers = 1,
                    .log = {"tarq: helper registration: Invalid argument"}},
        PrepareCase{.name = "FailedRegistration",
                    .status = 0,
                    .registerError = "Invalid argument",
                    .registers = 1,
                    .settings = 1,
                    .log = {"tarq: helper registration: Invalid argument"}}),
    [](const auto& testInfo) { return testInfo.param.name; });

TEST(PrepareShortcutTest, UnbundledOldOrServiceLessSystemsAnswerTrueUntouched) {
  PluginHarness unbundled;
  EXPECT_EQ(*asValue(unbundled.call("prepare")), Value(true));
  EXPECT_TRUE(unbundled.registration->lastPlistName.empty());

  PluginHarness old({.bundled = true});
  old.platform->setOsVersion({12, 7, 1});
  EXPECT_EQ(*asValue(old.call("prepare")), Value(true));
  EXPECT_TRUE(old.registration->lastPlistName.empty());

  PluginHarness serviceless({.bundled = true});
  serviceless.registration->registration = nullptr;
  EXPECT_EQ(*asValue(serviceless.call("prepare")), Value(true));
}

TEST(PrepareQueueTest, PollsTwelveSecondsOnTheQueueBeforeTheNextCall) {
  PluginHarness harness({.bundled = true});
  FakeRegistration& registration = *harness.registration->registration;
  registration.currentStatus = kRegistrationEnabled;
  registration.unregisterOnAnotherThread = false;
  const SteadyTime began = harness.clock->now();
  auto prepared = harness.callAsync("prepare");
  auto status = harness.callAsync("status");
  prepared.get();
  status.get();
  EXPECT_GE(harness.clock->now() - began, std::chrono::seconds(12));
  EXPECT_EQ(harness.timeline(), (std::vector<std::string>{"answer prepare", "answer status"}));
}

}  // namespace
}  // namespace tarq::testing

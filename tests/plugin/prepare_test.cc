// "prepare" through the host against a scripted registration service: the
// outcomes answered exactly once, whichever thread completes the registration
// work. The whole decision table, on one thread, is the helper service's own
// test; here unregistering completes on a thread of its own.
#include <gtest/gtest.h>

#include "helper/helper_service.h"
#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

TEST(PrepareTest, AnswersOnceWithTheOutcome) {
  const struct {
    const char* name;
    bool daemonAnswers;
    std::optional<std::string> unregisterError;
    std::optional<int> statusAfterRegister;
    bool usable;
    int registers, unregisters, settingsOpened;
  } cases[] = {
      {"EnabledAndAnswering", true, {}, {}, true, 0, 0, 0},
      {"SilentUnregisterFails", false, "Operation not permitted", {}, false, 0, 1, 1},
      {"SilentReRegistered", false, {}, kRegistrationEnabled, true, 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PluginHarness harness({.bundled = true});
    std::optional<FakeHelperDaemon> daemon;
    if (c.daemonAnswers) {
      daemon.emplace(harness.socketPath);
    }
    FakeRegistration& registration = *harness.registration->registration;
    registration.currentStatus = kRegistrationEnabled;
    registration.unregisterError = c.unregisterError;
    registration.statusAfterRegister = c.statusAfterRegister;

    EXPECT_EQ(*asValue(harness.call("prepare")), Value(c.usable));
    EXPECT_EQ(registration.registerCalls, c.registers);
    EXPECT_EQ(registration.unregisterCalls, c.unregisters);
    EXPECT_EQ(harness.registration->settingsOpened, c.settingsOpened);
    EXPECT_EQ(harness.registration->lastPlistName, kHelperPlistName);
    std::vector<std::string> logged;
    if (c.unregisterError) {
      logged.push_back("tarq: helper unregister for recovery: " + *c.unregisterError);
    }
    EXPECT_EQ(harness.log->lines(), logged);
  }
}

TEST(PrepareTest, PollsTwelveSecondsOnTheQueueBeforeTheNextCall) {
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

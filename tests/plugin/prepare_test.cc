// "prepare" through the host against a scripted registration service: every
// outcome, each answered exactly once.
#include <gtest/gtest.h>

#include "helper/helper_service.h"
#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

class PrepareTest : public ::testing::Test {
 protected:
  FakeRegistration& registration() { return *harness.registration->registration; }

  bool prepare() {
    MethodResponse response = harness.call("prepare");
    const Value* value = asValue(response);
    EXPECT_TRUE(value && value->get<bool>());
    return value && value->get<bool>() && *value->get<bool>();
  }

  PluginHarness harness{{.bundled = true}};
};

TEST(PrepareUnbundledTest, WithoutTheDaemonInTheBundleAnswersTrueUntouched) {
  PluginHarness harness;
  EXPECT_EQ(*asValue(harness.call("prepare")), Value(true));
  EXPECT_EQ(harness.registration->registration->registerCalls, 0);
  EXPECT_TRUE(harness.registration->lastPlistName.empty());
}

TEST_F(PrepareTest, OlderSystemAnswersTrue) {
  harness.platform->setOsVersion({12, 7, 1});
  EXPECT_TRUE(prepare());
  EXPECT_EQ(registration().registerCalls, 0);
}

TEST_F(PrepareTest, PlatformWithoutRegistrationServiceAnswersTrue) {
  harness.registration->registration = nullptr;
  MethodResponse response = harness.call("prepare");
  EXPECT_EQ(*asValue(response), Value(true));
}

TEST_F(PrepareTest, EnabledAndAnsweringDaemonIsUsable) {
  FakeHelperDaemon daemon(harness.socketPath);
  registration().currentStatus = kRegistrationEnabled;
  EXPECT_TRUE(prepare());
  EXPECT_EQ(daemon.ops(), (std::vector<std::string>{"status"}));
  EXPECT_EQ(registration().unregisterCalls, 0);
  EXPECT_EQ(harness.registration->settingsOpened, 0);
  EXPECT_EQ(harness.registration->lastPlistName, kHelperPlistName);
}

TEST_F(PrepareTest, EnabledButSilentDaemonIsReRegistered) {
  registration().currentStatus = kRegistrationEnabled;
  registration().statusAfterRegister = kRegistrationEnabled;
  const SteadyTime began = harness.clock->now();
  EXPECT_TRUE(prepare());
  EXPECT_GE(harness.clock->now() - began, std::chrono::seconds(12));
  EXPECT_EQ(registration().unregisterCalls, 1);
  EXPECT_EQ(registration().registerCalls, 1);
  EXPECT_EQ(harness.registration->settingsOpened, 0);
}

TEST_F(PrepareTest, ReRegisteredDaemonAwaitingApprovalOpensSettings) {
  registration().currentStatus = kRegistrationEnabled;
  registration().statusAfterRegister = kRegistrationRequiresApproval;
  EXPECT_FALSE(prepare());
  EXPECT_EQ(harness.registration->settingsOpened, 1);
}

TEST_F(PrepareTest, FailedUnregisterIsLoggedAndOpensSettings) {
  registration().currentStatus = kRegistrationEnabled;
  registration().unregisterError = "Operation not permitted";
  EXPECT_FALSE(prepare());
  EXPECT_EQ(registration().registerCalls, 0);
  EXPECT_EQ(harness.registration->settingsOpened, 1);
  EXPECT_EQ(harness.log->lines(), (std::vector<std::string>{"tarq: helper unregister for recovery: "
                                                            "Operation not permitted"}));
}

TEST_F(PrepareTest, AwaitingApprovalOpensSettingsWithoutRegistering) {
  registration().currentStatus = kRegistrationRequiresApproval;
  EXPECT_FALSE(prepare());
  EXPECT_EQ(registration().registerCalls, 0);
  EXPECT_EQ(harness.registration->settingsOpened, 1);
}

TEST_F(PrepareTest, UnregisteredDaemonIsRegistered) {
  for (int status : {kRegistrationNotRegistered, kRegistrationNotFound, 17}) {
    registration().currentStatus = status;
    registration().statusAfterRegister = kRegistrationEnabled;
    EXPECT_TRUE(prepare()) << status;
  }
  EXPECT_EQ(harness.registration->settingsOpened, 0);
}

TEST_F(PrepareTest, FailedRegistrationIsJudgedByTheStatusAfterwards) {
  registration().statusAfterRegister = kRegistrationEnabled;
  registration().registerError = "Invalid argument";
  EXPECT_TRUE(prepare());
  EXPECT_EQ(harness.log->lines(),
            (std::vector<std::string>{"tarq: helper registration: Invalid argument"}));

  registration().currentStatus = kRegistrationNotRegistered;
  registration().statusAfterRegister = kRegistrationNotRegistered;
  EXPECT_FALSE(prepare());
  EXPECT_EQ(harness.registration->settingsOpened, 1);
}

TEST_F(PrepareTest, HoldsTheQueueUntilItHasAnswered) {
  // Everything on the queue: 12 s of polling, then a synchronous recovery.
  registration().currentStatus = kRegistrationEnabled;
  registration().unregisterOnAnotherThread = false;
  auto prepared = harness.callAsync("prepare");
  auto status = harness.callAsync("status");
  prepared.get();
  status.get();
  EXPECT_EQ(harness.timeline(), (std::vector<std::string>{"answer prepare", "answer status"}));
}

}  // namespace
}  // namespace tarq::testing

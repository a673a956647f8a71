#include "helper/helper_service.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/support/fake_helper_daemon.h"
#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

using testing::FakeHelperDaemon;
using testing::FakeReply;
using Events = std::vector<std::string>;

// A registration with a scripted status, registration outcome and unregister
// completion, which may be held back and run later on a thread of its own.
class FakeRegistration final : public HelperRegistration {
 public:
  explicit FakeRegistration(int status) : status_(status) {}
  ~FakeRegistration() override { join(); }

  std::optional<int> firstReading;  // read once before the status settles
  std::optional<int> statusAfterRegister;
  bool registerThrows = false;
  std::optional<std::string> unregisterError;
  bool deferUnregister = false;
  int registers = 0;
  int unregisters = 0;

  int status() const override {
    std::lock_guard lock(mutex_);
    return std::exchange(firstReading_, std::nullopt).value_or(status_);
  }
  void registerDaemon() override {
    std::lock_guard lock(mutex_);
    ++registers;
    status_ = statusAfterRegister.value_or(status_);
    if (registerThrows) {
      throw RegistrationError("Operation not permitted");
    }
  }
  void unregister(std::function<void(std::optional<std::string>)> handler) override {
    std::unique_lock lock(mutex_);
    ++unregisters;
    status_ = unregisterError ? status_ : kRegistrationNotRegistered;
    firstReading_ = std::nullopt;
    pending_ = [handler = std::move(handler), error = unregisterError] { handler(error); };
    lock.unlock();
    if (!deferUnregister) {
      std::exchange(pending_, nullptr)();
    }
  }
  void arm() { firstReading_ = firstReading; }
  // Runs the held-back unregister completion on another thread.
  void completeOnThread() { thread_ = std::thread(std::exchange(pending_, nullptr)); }
  // The handler holds the registration, so the last reference may go on the
  // service's own thread, which cannot join itself.
  void join() {
    if (thread_.joinable()) {
      thread_.get_id() == std::this_thread::get_id() ? thread_.detach() : thread_.join();
    }
  }

 private:
  mutable std::mutex mutex_;
  mutable std::optional<int> firstReading_;
  int status_;
  std::function<void()> pending_;
  std::thread thread_;
};

// What one "prepare" did, in order, from whatever thread it finished on.
struct Outcome {
  std::mutex mutex;
  std::condition_variable done;
  Events events;  // "settings", "true", "false"
  int completions = 0;

  std::function<void()> openSettings() {
    return [this] {
      std::lock_guard lock(mutex);
      events.push_back("settings");
    };
  }
  std::function<void(bool)> completion() {
    return [this](bool usable) {
      std::lock_guard lock(mutex);
      events.push_back(usable ? "true" : "false");
      ++completions;
      done.notify_all();
    };
  }
  Events awaitCompletion() {
    std::unique_lock lock(mutex);
    done.wait_for(lock, std::chrono::seconds(10), [this] { return completions > 0; });
    return events;
  }
};

TEST(HelperServiceDecisionTest, EveryOutcomeCompletesExactlyOnce) {
  constexpr int kNone = -1;
  const std::string kDenied = "Operation not permitted";
  struct Row {
    const char* name;
    int status, firstReading;
    bool answers, unregisterFails;
    int statusAfterRegister;
    bool registerThrows, usable;
    int registers, unregisters;
    std::string log;
  };
  // clang-format off
  const Row rows[] = {
      {"enabled, answering",             1, kNone, true,  false, kNone, false, true,  0, 0, ""},
      {"no answer, unregister fails",    1, kNone, false, true,  kNone, false, false, 0, 1,
       "tarq: helper unregister for recovery: " + kDenied},
      {"no answer, registered again",    1, kNone, false, false, 1,     false, true,  1, 1, ""},
      {"no answer, again unapproved",    1, kNone, false, false, 2,     false, false, 1, 1, ""},
      {"requires approval",              2, kNone, false, false, 1,     false, false, 0, 0, ""},
      {"second reading needs approval",  2, 0,     true,  false, 1,     false, false, 0, 0, ""},
      {"not registered, enabled after",  0, kNone, false, false, 1,     false, true,  1, 0, ""},
      {"not found, failed but enabled",  3, kNone, false, false, 1,     true,  true,  1, 0,
       "tarq: helper registration: " + kDenied},
      {"unknown status, needs approval", 7, kNone, false, false, 2,     false, false, 1, 0, ""},
      {"registration fails",             0, kNone, false, false, kNone, true,  false, 1, 0,
       "tarq: helper registration: " + kDenied},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Outcome outcome;
    auto log = std::make_shared<MemoryLog>();
    auto registration = std::make_shared<FakeRegistration>(row.status);
    if (row.firstReading != kNone) {
      registration->firstReading = row.firstReading;
    }
    if (row.unregisterFails) {
      registration->unregisterError = kDenied;
    }
    if (row.statusAfterRegister != kNone) {
      registration->statusAfterRegister = row.statusAfterRegister;
    }
    registration->registerThrows = row.registerThrows;
    registration->arm();
    int respondsCalls = 0;
    auto responds = [&] { return ++respondsCalls, row.answers; };
    HelperService::prepare(registration, responds, outcome.openSettings(), outcome.completion(),
                           log);

    EXPECT_EQ(outcome.events, (row.usable ? Events{"true"} : Events{"settings", "false"}));
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(respondsCalls, row.status == 1 && row.firstReading == kNone ? 1 : 0);
    EXPECT_EQ(registration->registers, row.registers);
    EXPECT_EQ(registration->unregisters, row.unregisters);
    EXPECT_EQ(log->lines(), row.log.empty() ? Events{} : Events{row.log});
  }
}

TEST(HelperServiceDecisionTest, RecoveryReturnsAtOnceAndCompletesOnTheServiceThread) {
  for (int statusAfterRegister : {kRegistrationEnabled, kRegistrationRequiresApproval}) {
    Outcome outcome;
    auto registration = std::make_shared<FakeRegistration>(kRegistrationEnabled);
    registration->deferUnregister = true;
    registration->statusAfterRegister = statusAfterRegister;
    HelperService::prepare(
        registration, [] { return false; }, outcome.openSettings(), outcome.completion(),
        std::make_shared<MemoryLog>());
    EXPECT_EQ(outcome.completions, 0);  // the caller's queue is free again

    registration->completeOnThread();
    Events expected =
        statusAfterRegister == kRegistrationEnabled ? Events{"true"} : Events{"settings", "false"};
    EXPECT_EQ(outcome.awaitCompletion(), expected);
    registration->join();
    EXPECT_EQ(outcome.completions, 1);
  }
}

// ---- The entry point, with its platform, registration service and socket ----

class FakePlatform final : public Platform {
 public:
  explicit FakePlatform(std::string bundleRoot) : bundleRoot_(std::move(bundleRoot)) {}
  bool fileExists(const std::string& path) const override {
    return std::filesystem::exists(std::filesystem::symlink_status(path));
  }
  std::optional<std::string> applicationSupportDirectory() const override { return {}; }
  std::string mainBundleRoot() const override { return bundleRoot_; }
  OsVersion osVersion() const override { return version; }

  OsVersion version{14, 4, 1};

 private:
  std::string bundleRoot_;
};

class FakeRegistrationService final : public RegistrationService {
 public:
  std::shared_ptr<HelperRegistration> daemon(const std::string& plistName) override {
    names.push_back(plistName);
    return registration;
  }
  void openSettings() override { ++settingsOpened; }

  std::shared_ptr<FakeRegistration> registration =
      std::make_shared<FakeRegistration>(kRegistrationEnabled);
  std::vector<std::string> names;
  int settingsOpened = 0;
};

class HelperServiceTest : public ::testing::Test {
 protected:
  HelperServiceTest() {
    std::filesystem::create_directories(bundle_.file(kLaunchDaemonsFolder));
    std::ofstream(plistPath_) << "<plist/>";
  }

  HelperService service() { return HelperService({clock_, platform_, log_, registry_, socket_}); }
  std::optional<bool> prepare() {
    std::optional<bool> result;
    service().prepare([&result](bool usable) {
      EXPECT_FALSE(result.has_value()) << "completed twice";
      result = usable;
    });
    return result;
  }
  double virtualSecondsSince(SteadyTime start) {
    return std::chrono::duration<double>(clock_->now() - start).count();
  }

  testing::TempDir bundle_;
  std::string plistPath_ = bundle_.file(kLaunchDaemonsFolder) + kHelperPlistName;
  testing::TempDir sockets_;
  std::string socket_ = sockets_.file("helper.sock");
  std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
  std::shared_ptr<FakePlatform> platform_ = std::make_shared<FakePlatform>(bundle_.path());
  std::shared_ptr<MemoryLog> log_ = std::make_shared<MemoryLog>();
  std::shared_ptr<FakeRegistrationService> registry_ = std::make_shared<FakeRegistrationService>();
};

TEST_F(HelperServiceTest, NothingToRegisterWithoutDaemonOrServiceOrOnOldSystems) {
  platform_->version = {12, 7, 4};
  EXPECT_EQ(prepare(), true);
  platform_->version = {13, 0, 0};
  std::filesystem::remove(plistPath_);
  EXPECT_FALSE(service().isBundled());
  EXPECT_EQ(prepare(), true);
  EXPECT_TRUE(registry_->names.empty());

  std::ofstream(plistPath_) << "<plist/>";
  registry_->registration = nullptr;
  EXPECT_EQ(prepare(), true);
  EXPECT_EQ(registry_->names, std::vector<std::string>{"dev.orvek.tarq.helper.plist"});

  // Linux has no registration service at all.
  EXPECT_EQ(RegistrationService::system()->daemon(kHelperPlistName), nullptr);
}

TEST_F(HelperServiceTest, EnabledDaemonThatAnswersIsUsableAfterOneExchange) {
  FakeHelperDaemon daemon(socket_);
  daemon.setResponder([](const nlohmann::json&) { return FakeReply::json({{"ok", false}}); });
  SteadyTime start = clock_->now();
  EXPECT_EQ(prepare(), true);
  EXPECT_EQ(daemon.ops(), std::vector<std::string>{"status"});
  EXPECT_EQ(virtualSecondsSince(start), 0.0);
  EXPECT_EQ(registry_->registration->unregisters, 0);
  EXPECT_EQ(registry_->settingsOpened, 0);
}

TEST_F(HelperServiceTest, EnabledDaemonWithoutSocketIsPolledForTwelveSecondsThenRecovered) {
  registry_->registration->statusAfterRegister = kRegistrationRequiresApproval;
  SteadyTime start = clock_->now();
  EXPECT_EQ(prepare(), false);
  EXPECT_DOUBLE_EQ(virtualSecondsSince(start), 12.0);  // 120 attempts, 0.1 s apart
  EXPECT_EQ(registry_->registration->unregisters, 1);
  EXPECT_EQ(registry_->registration->registers, 1);
  EXPECT_EQ(registry_->settingsOpened, 1);

  start = clock_->now();
  EXPECT_FALSE(service().helperResponds(0.0));  // still one attempt
  EXPECT_DOUBLE_EQ(virtualSecondsSince(start), 0.1);
}

TEST_F(HelperServiceTest, HelperRespondsOnceAReplyDecodes) {
  FakeHelperDaemon daemon(socket_);
  int connections = 0;
  daemon.setResponder([&connections](const nlohmann::json&) {
    FakeReply early;
    early.closeBeforeReading = true;
    const FakeReply replies[] = {early, FakeReply::line("[]"), FakeReply::line("not json")};
    return connections < 3 ? replies[connections++] : FakeReply::line("{}");
  });
  SteadyTime start = clock_->now();
  EXPECT_TRUE(service().helperResponds(kPrepareWaitSeconds));
  EXPECT_EQ(daemon.ops().size(), 4u);
  EXPECT_DOUBLE_EQ(virtualSecondsSince(start), 0.3);
}

}  // namespace
}  // namespace tarq

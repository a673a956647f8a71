// A scripted daemon registration service for tests of "prepare": the status
// it reports before and after register, whether register and unregister
// fail, on which thread unregister completes, and a count of every call.
#ifndef TARQ_TESTS_SUPPORT_FAKE_REGISTRATION_H_
#define TARQ_TESTS_SUPPORT_FAKE_REGISTRATION_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "helper/helper_registration.h"

namespace tarq::testing {

class FakeRegistration final : public HelperRegistration {
 public:
  int status() const override { return currentStatus.load(); }
  void registerDaemon() override {
    ++registerCalls;
    if (statusAfterRegister) {
      currentStatus = *statusAfterRegister;
    }
    if (registerError) {
      throw RegistrationError(*registerError);
    }
  }
  void unregister(std::function<void(std::optional<std::string>)> completion) override {
    ++unregisterCalls;
    auto finish = [this, completion = std::move(completion)] {
      if (!unregisterError) {
        currentStatus = statusAfterUnregister;
      }
      completion(unregisterError);
    };
    if (!unregisterOnAnotherThread) {
      return finish();
    }
    std::lock_guard lock(mutex_);
    threads_.emplace_back(std::move(finish));
  }

  std::atomic<int> currentStatus{kRegistrationNotRegistered};
  // Status after a register call; unchanged when none.
  std::optional<int> statusAfterRegister;
  std::optional<std::string> registerError;
  std::optional<std::string> unregisterError;
  // Status after a successful unregister.
  int statusAfterUnregister = kRegistrationNotRegistered;
  // Complete unregister on a thread of its own, as the platform does.
  bool unregisterOnAnotherThread = true;

  std::atomic<int> registerCalls{0};
  std::atomic<int> unregisterCalls{0};

  ~FakeRegistration() override {
    // The last reference may be the unregister completion's own, released on
    // its thread: that one cannot be joined.
    for (auto& thread : threads_) {
      thread.get_id() == std::this_thread::get_id() ? thread.detach() : thread.join();
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

class FakeRegistrationService final : public RegistrationService {
 public:
  std::shared_ptr<HelperRegistration> daemon(const std::string& plistName) override {
    lastPlistName = plistName;
    return registration;
  }
  void openSettings() override { ++settingsOpened; }

  // nullptr plays a platform without a registration service.
  std::shared_ptr<FakeRegistration> registration = std::make_shared<FakeRegistration>();
  std::atomic<int> settingsOpened{0};
  std::string lastPlistName;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_FAKE_REGISTRATION_H_

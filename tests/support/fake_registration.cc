#include "tests/support/fake_registration.h"

#include <utility>

namespace tarq::testing {

int FakeRegistration::status() const {
  return currentStatus.load();
}

void FakeRegistration::registerDaemon() {
  ++registerCalls;
  if (statusAfterRegister) {
    currentStatus = *statusAfterRegister;
  }
  if (registerError) {
    throw RegistrationError(*registerError);
  }
}

void FakeRegistration::unregister(std::function<void(std::optional<std::string>)> completion) {
  ++unregisterCalls;
  auto finish = [this, completion = std::move(completion)] {
    if (!unregisterError) {
      currentStatus = statusAfterUnregister;
    }
    completion(unregisterError);
  };
  if (!unregisterOnAnotherThread) {
    finish();
    return;
  }
  std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(finish));
}

FakeRegistration::~FakeRegistration() {
  // The last reference may be the unregister completion's own, released on
  // its thread: that one cannot be joined.
  for (auto& thread : threads_) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

std::shared_ptr<HelperRegistration> FakeRegistrationService::daemon(const std::string& plistName) {
  lastPlistName = plistName;
  return registration;
}

}  // namespace tarq::testing

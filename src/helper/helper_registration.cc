#include "helper/helper_registration.h"

// The macOS bridge adapts SMAppService and defines RegistrationService::system()
// itself; elsewhere there is no registration service to talk to.
#ifndef __APPLE__

namespace tarq {

namespace {

class NoRegistrationService final : public RegistrationService {
 public:
  std::shared_ptr<HelperRegistration> daemon(const std::string&) override { return nullptr; }
  void openSettings() override {}
};

}  // namespace

std::shared_ptr<RegistrationService> RegistrationService::system() {
  static const auto service = std::make_shared<NoRegistrationService>();
  return service;
}

}  // namespace tarq

#endif  // __APPLE__

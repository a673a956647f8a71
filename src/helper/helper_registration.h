// The operating system's registration of the helper daemon, as the decision
// logic of "prepare" sees it. On macOS an adapter of SMAppService implements
// it; on Linux there is no registration service.
#ifndef TARQ_HELPER_HELPER_REGISTRATION_H_
#define TARQ_HELPER_HELPER_REGISTRATION_H_

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarq {

// Status values as the platform numbers them. Only enabled and
// requiresApproval are tested; any other value means "not registered".
inline constexpr int kRegistrationNotRegistered = 0;
inline constexpr int kRegistrationEnabled = 1;
inline constexpr int kRegistrationRequiresApproval = 2;
inline constexpr int kRegistrationNotFound = 3;

// A failed registration; what() is the platform's description.
class RegistrationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HelperRegistration {
 public:
  virtual ~HelperRegistration() = default;

  virtual int status() const = 0;

  // Registers the daemon. Throws RegistrationError.
  virtual void registerDaemon() = 0;

  // Unregisters the daemon; `completion` later receives the description of
  // the failure, or none. It may run on another thread.
  virtual void unregister(std::function<void(std::optional<std::string> error)> completion) = 0;
};

// Where the plug-in gets the registration of its daemon, and the settings
// pane where the user approves it.
class RegistrationService {
 public:
  virtual ~RegistrationService() = default;

  // The registration of the daemon named by `plistName`; nullptr where the
  // platform has no registration service (Linux) or the system is too old.
  virtual std::shared_ptr<HelperRegistration> daemon(const std::string& plistName) = 0;

  // Sends the user to the Login Items pane of the system settings.
  virtual void openSettings() = 0;

  // The platform's service: on Linux, none (daemon() returns nullptr).
  static std::shared_ptr<RegistrationService> system();
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_REGISTRATION_H_

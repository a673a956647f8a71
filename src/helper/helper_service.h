// "prepare": registers the helper daemon when the application carries it,
// sends the user to the settings pane when approval is missing, recovers an
// enabled registration whose daemon does not answer, and reports one Boolean:
// true when the daemon can be used, false when the user has to act first.
//
// HelperService keeps nothing between calls but its environment.
#ifndef TARQ_HELPER_HELPER_SERVICE_H_
#define TARQ_HELPER_HELPER_SERVICE_H_

#include <functional>
#include <memory>
#include <string>

#include "helper/helper_registration.h"
#include "helper/socket_transport.h"
#include "support/clock.h"
#include "support/platform.h"
#include "support/system_log.h"

namespace tarq {

// The daemon's property list, in the bundle under kLaunchDaemonsFolder.
inline constexpr char kHelperPlistName[] = "dev.orvek.tarq.helper.plist";
inline constexpr char kLaunchDaemonsFolder[] = "Contents/Library/LaunchDaemons/";
inline constexpr OsVersion kMinimumRegistrationOs{13, 0, 0};
inline constexpr double kPrepareWaitSeconds = 12.0;

class HelperService {
 public:
  struct Environment {
    std::shared_ptr<Clock> clock;
    std::shared_ptr<Platform> platform;
    std::shared_ptr<SystemLog> log;
    std::shared_ptr<RegistrationService> registration;
    std::string socketPath = kHelperSocketPath;
  };

  explicit HelperService(Environment environment);

  // Whether the bundle carries the daemon's property list.
  bool isBundled() const;

  // The entry point of "prepare". `completion` is called exactly once, on the
  // calling thread before prepare() returns or later on a thread of the
  // registration service.
  void prepare(std::function<void(bool)> completion) const;

  // The decision logic. `responds` is called at most once, before this
  // returns; `openSettings` may be called after it has returned.
  static void prepare(std::shared_ptr<HelperRegistration> registration,
                      std::function<bool()> responds, std::function<void()> openSettings,
                      std::function<void(bool)> completion, std::shared_ptr<SystemLog> log);

  // Polls the daemon with "status" every 0.1 s until one reply decodes (true)
  // or `waitSeconds` have passed after an attempt and its pause (false).
  bool helperResponds(double waitSeconds) const;

  const Environment& environment() const { return environment_; }

 private:
  static void requestApproval(std::shared_ptr<HelperRegistration> registration,
                              std::function<void()> openSettings,
                              std::function<void(bool)> completion,
                              std::shared_ptr<SystemLog> log);

  Environment environment_;
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_SERVICE_H_

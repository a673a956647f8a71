#include "helper/helper_service.h"

#include <chrono>
#include <exception>
#include <utility>

#include "helper/helper_client.h"

namespace tarq {

namespace {

constexpr std::chrono::milliseconds kPollPause{100};
constexpr double kAttemptTimeoutSeconds = 10.0;

void writeLog(const std::shared_ptr<SystemLog>& log, const std::string& line) {
  if (log) {
    log->write(line);
  }
}

}  // namespace

HelperService::HelperService(Environment environment) : environment_(std::move(environment)) {
  if (!environment_.clock) {
    environment_.clock = Clock::system();
  }
  if (!environment_.platform) {
    environment_.platform = Platform::system();
  }
  if (!environment_.log) {
    environment_.log = SystemLog::system();
  }
  if (!environment_.registration) {
    environment_.registration = RegistrationService::system();
  }
}

bool HelperService::isBundled() const {
  const Platform& platform = *environment_.platform;
  return platform.fileExists(platform.mainBundleRoot() + "/" + kLaunchDaemonsFolder +
                             kHelperPlistName);
}

void HelperService::prepare(std::function<void(bool)> completion) const {
  // Without the daemon in the bundle, or without a registration service, there
  // is nothing to register; the start sequence tests for the socket itself.
  if (!isBundled() || environment_.platform->osVersion() < kMinimumRegistrationOs) {
    completion(true);
    return;
  }
  std::shared_ptr<RegistrationService> service = environment_.registration;
  std::shared_ptr<HelperRegistration> registration = service->daemon(kHelperPlistName);
  if (!registration) {
    completion(true);
    return;
  }
  // `responds` runs before the decision logic returns, so it may use `this`;
  // `openSettings` may run later, on another thread, and keeps the service.
  prepare(
      std::move(registration), [this] { return helperResponds(kPrepareWaitSeconds); },
      [service] { service->openSettings(); }, std::move(completion), environment_.log);
}

void HelperService::prepare(std::shared_ptr<HelperRegistration> registration,
                            std::function<bool()> responds, std::function<void()> openSettings,
                            std::function<void(bool)> completion, std::shared_ptr<SystemLog> log) {
  if (registration->status() == kRegistrationEnabled) {
    if (responds()) {
      completion(true);
      return;
    }
    // Enabled but silent: the registration is stale. The handler keeps what it
    // needs alive until it runs, possibly on a thread of the service; the
    // local reference keeps the registration alive while unregister() runs,
    // even if it calls and drops the handler at once.
    registration->unregister([registration, openSettings = std::move(openSettings),
                              completion = std::move(completion),
                              log = std::move(log)](std::optional<std::string> error) mutable {
      if (error) {
        writeLog(log, "tarq: helper unregister for recovery: " + *error);
        openSettings();
        completion(false);
        return;
      }
      requestApproval(std::move(registration), std::move(openSettings), std::move(completion),
                      std::move(log));
    });
    return;
  }
  // The status is read afresh: registration may have changed it meanwhile.
  if (registration->status() == kRegistrationRequiresApproval) {
    openSettings();
    completion(false);
    return;
  }
  requestApproval(std::move(registration), std::move(openSettings), std::move(completion),
                  std::move(log));
}

void HelperService::requestApproval(std::shared_ptr<HelperRegistration> registration,
                                    std::function<void()> openSettings,
                                    std::function<void(bool)> completion,
                                    std::shared_ptr<SystemLog> log) {
  // A failed registration is only logged; the status read afterwards decides.
  try {
    registration->registerDaemon();
  } catch (const std::exception& error) {
    writeLog(log, std::string("tarq: helper registration: ") + error.what());
  }
  if (registration->status() == kRegistrationEnabled) {
    completion(true);
    return;
  }
  openSettings();
  completion(false);
}

bool HelperService::helperResponds(double waitSeconds) const {
  Clock& clock = *environment_.clock;
  const SteadyTime deadline = clock.now() + std::chrono::duration_cast<Duration>(
                                                std::chrono::duration<double>(waitSeconds));
  // At least one attempt; the deadline is tested only after an attempt and its
  // pause, so the wait can run over by one attempt.
  do {
    try {
      HelperClient client(
          std::make_unique<SocketTransport>(kAttemptTimeoutSeconds, environment_.socketPath));
      client.send({{"op", "status"}});
      return true;  // any reply that decodes shows that the daemon answers
    } catch (const std::exception&) {
      // Not installed, not listening, silent or unreadable: try again.
    }
    clock.sleepFor(kPollPause);
  } while (clock.now() < deadline);
  return false;
}

}  // namespace tarq

// RegistrationService on macOS: ServiceManagement's SMAppService (macOS 13
// and later) registers the helper daemon whose property list the application
// bundle carries under Contents/Library/LaunchDaemons/, and opens the Login
// Items pane of System Settings.
//
// The pod's only definition of RegistrationService::system(): src/helper/helper_registration.cc,
// which the pod also compiles, defines the Linux one only where __APPLE__ is not defined
// (macos/check.sh link checks that every symbol is defined once).
#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "exception_guard.h"
#include "foundation_objects.h"
#include "helper/helper_registration.h"

namespace tarq {
namespace {

std::string errorText(NSError* _Nullable error, const char* fallback) {
  std::string text = error == nil ? std::string() : macos::utf8String(error.localizedDescription);
  return text.empty() ? std::string(fallback) : text;
}

// One daemon's SMAppService. Called on the plug-in's work queue and on the
// thread of an unregister completion, never concurrently for one object.
class __attribute__((availability(macos, introduced = 13.0))) SMAppServiceRegistration final
    : public HelperRegistration {
 public:
  explicit SMAppServiceRegistration(SMAppService* service) : service_(service) {}

  int status() const override {
    @autoreleasepool {
      return static_cast<int>(service_.status);
    }
  }

  void registerDaemon() override {
    @autoreleasepool {
      NSError* error = nil;
      if (![service_ registerAndReturnError:&error]) {
        throw RegistrationError(errorText(error, "the registration was refused"));
      }
    }
  }

  void unregister(std::function<void(std::optional<std::string> error)> completion) override {
    // Shared so that copying the block does not copy the completion.
    auto shared =
        std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(completion));
    @autoreleasepool {
      [service_ unregisterWithCompletionHandler:^(NSError* _Nullable error) {
        // Runs on a thread of the system's: nothing may escape into it.
        macos::runGuarded("the unregistration's completion failed", [&] {
          @autoreleasepool {
            if (error == nil) {
              (*shared)(std::nullopt);
            } else {
              (*shared)(errorText(error, "the unregistration failed"));
            }
          }
        });
      }];
    }
  }

 private:
  SMAppService* service_;
};

class SMAppServiceRegistrationService final : public RegistrationService {
 public:
  std::shared_ptr<HelperRegistration> daemon(const std::string& plistName) override {
    if (@available(macOS 13.0, *)) {
      @autoreleasepool {
        SMAppService* service =
            [SMAppService daemonServiceWithPlistName:macos::stringObject(plistName)];
        return std::make_shared<SMAppServiceRegistration>(service);
      }
    }
    return nullptr;
  }

  // Called on the plug-in's work queue; the pane opens from the main queue,
  // as user-interface calls must, without making "prepare" wait for it.
  void openSettings() override {
    dispatch_async(dispatch_get_main_queue(), ^{
      macos::runGuarded("opening System Settings failed", [] {
        if (@available(macOS 13.0, *)) {
          [SMAppService openSystemSettingsLoginItems];
        }
      });
    });
  }
};

}  // namespace

std::shared_ptr<RegistrationService> RegistrationService::system() {
  // Never destroyed, so that a late unregister completion can still use it.
  static const auto* const service =
      new std::shared_ptr<RegistrationService>(std::make_shared<SMAppServiceRegistrationService>());
  return *service;
}

}  // namespace tarq

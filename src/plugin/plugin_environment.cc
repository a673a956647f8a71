#include "plugin/plugin_environment.h"

namespace tarq {

PluginEnvironment PluginEnvironment::system() {
  PluginEnvironment environment;
  environment.clock = Clock::system();
  environment.platform = Platform::system();
  environment.log = SystemLog::system();
  environment.registration = RegistrationService::system();
  return environment;
}

}  // namespace tarq

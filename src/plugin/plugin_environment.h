// Everything outside the plug-in that it reaches through a seam: time, the
// platform's facts, the system log, the daemon registration service and the
// helper's socket. The system environment is the real one; tests build their
// own.
#ifndef TARQ_PLUGIN_PLUGIN_ENVIRONMENT_H_
#define TARQ_PLUGIN_PLUGIN_ENVIRONMENT_H_

#include <memory>
#include <string>

#include "helper/helper_registration.h"
#include "helper/socket_transport.h"
#include "support/clock.h"
#include "support/platform.h"
#include "support/system_log.h"

namespace tarq {

struct PluginEnvironment {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Platform> platform;
  std::shared_ptr<SystemLog> log;
  std::shared_ptr<RegistrationService> registration;
  std::string helperSocketPath = kHelperSocketPath;

  static PluginEnvironment system();
};

}  // namespace tarq

#endif  // TARQ_PLUGIN_PLUGIN_ENVIRONMENT_H_

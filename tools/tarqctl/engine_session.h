// One application lifetime: the in-process host with the plug-in registered
// on it, exactly as a Flutter application's embedding registers it, and
// diagnostics ("tarq: ...") on standard error as well as in the system log.
//
// Thread safety: as InProcessHost; the destructor shuts the host down and
// must not run on the host's main thread.
#ifndef TARQ_TOOLS_TARQCTL_ENGINE_SESSION_H_
#define TARQ_TOOLS_TARQCTL_ENGINE_SESSION_H_

#include <functional>
#include <memory>
#include <string>

#include "host/in_process_host.h"
#include "support/system_log.h"

namespace tarq {

class EngineSession {
 public:
  // `log` receives the diagnostics; by default standard error and the system
  // log.
  explicit EngineSession(const std::string& helperSocketPath,
                         std::shared_ptr<SystemLog> log = nullptr);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // A call on "orvek/engine"; `onResponse` runs on the host's main thread.
  void call(const std::string& method, Value arguments,
            std::function<void(MethodResponse)> onResponse);
  // Listening on "orvek/engine/events".
  void listen(Value arguments, InProcessHost::Listener listener);
  void cancel(Value arguments);

  InProcessHost& host() { return *host_; }

 private:
  std::unique_ptr<InProcessHost> host_;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_ENGINE_SESSION_H_

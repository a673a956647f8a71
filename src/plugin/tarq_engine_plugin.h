// The plug-in: the one object through which the Flutter application reaches
// the engine, over the method channel "orvek/engine" and the event channel
// "orvek/engine/events".
//
// Threads. The host calls handle(), onListen() and onCancel() on its main
// thread; they only read the arguments and post a task. Every operation, the
// listen and cancel tasks and every tick of the statistics timer run on the
// plug-in's one serial work queue, so the mutable fields below are touched
// only there and need no lock. Results and events are posted to the main
// thread in the order the queue produces them. Every call is answered exactly
// once.
//
// Lifetime. Held by std::shared_ptr: the host keeps it as method handler and
// stream handler, every queued task but "prepare"'s keeps it too, the timer
// only weakly. The last reference may go on any thread, the work queue's own
// included; destruction does not stop the engine.
#ifndef TARQ_PLUGIN_TARQ_ENGINE_PLUGIN_H_
#define TARQ_PLUGIN_TARQ_ENGINE_PLUGIN_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "clash/clash_client.h"
#include "config/user_config_file.h"
#include "helper/helper_client.h"
#include "helper/helper_error.h"
#include "helper/helper_reply.h"
#include "helper/helper_service.h"
#include "host/registrar.h"
#include "host/stream_handler.h"
#include "plugin/plugin_environment.h"
#include "support/repeating_timer.h"
#include "support/work_queue.h"

namespace tarq {

inline constexpr char kMethodChannel[] = "orvek/engine";
inline constexpr char kEventChannel[] = "orvek/engine/events";
inline constexpr char kQueueLabel[] = "dev.orvek.tarq.engine";
inline constexpr char kEngineLogPath[] = "/Library/Logs/Orvek/sing-box.log";
inline constexpr char kAutoOutbound[] = "auto";
inline constexpr char kSelectorPath[] = "/proxies/tarq";

class TarqEnginePlugin final : public StreamHandler,
                               public std::enable_shared_from_this<TarqEnginePlugin> {
 public:
  // Creates one plug-in and registers it on the two channels; the registrar's
  // host keeps it, this function keeps no reference.
  static void registerWith(Registrar& registrar,
                           PluginEnvironment environment = PluginEnvironment::system());

  // Use registerWith(); public for std::make_shared.
  TarqEnginePlugin(std::shared_ptr<HelperClient> helper, UserConfigFile configFile,
                   PluginEnvironment environment, std::shared_ptr<MainThread> mainThread);
  ~TarqEnginePlugin() override;

  // The host's entry points, on the main thread.
  void handle(const MethodCall& call, std::unique_ptr<MethodResult> result);
  std::optional<FlutterError> onListen(const Value& arguments,
                                       std::shared_ptr<EventSink> events) override;
  std::optional<FlutterError> onCancel(const Value& arguments) override;

 private:
  using Result = std::shared_ptr<MethodResult>;

  // Delivery to the main thread.
  void answer(const Result& result, MethodResponse response);
  void publish(const std::string& state, std::optional<std::string> error, int64_t since);
  void emit(Value event);

  // Operations, on the work queue.
  void status(const Result& result);
  void helperStatus(const Result& result);
  void start(const std::string& config, const std::string& selected, int64_t clashPort,
             const std::string& clashSecret, const Result& result);
  HelperReply startHelper(const std::string& configPath, const std::string& selected);
  void stop(const Result& result);
  void select(const std::string& tag, const Result& result);
  void startStats();
  void tick();

  // Start sequence steps; each throws the error that fails the start.
  void waitForEngine();
  std::shared_ptr<ClashClient> connectClash(int64_t port, const std::string& secret);
  void failStart(const std::string& description, const Result& result);
  bool helperSocketExists() const;
  HelperService helperService() const;

  // Immutable after construction.
  const std::shared_ptr<HelperClient> helper_;
  const UserConfigFile configFile_;
  const PluginEnvironment environment_;
  const std::shared_ptr<MainThread> mainThread_;
  std::unique_ptr<WorkQueue> queue_;

  // Touched only on queue_.
  std::shared_ptr<EventSink> sink_;
  std::shared_ptr<ClashClient> clash_;
  std::unique_ptr<RepeatingTimer> statsTimer_;
  std::string state_ = "disconnected";
  int64_t since_ = 0;
  std::optional<std::string> failure_;
  int64_t lastUp_ = 0;
  int64_t lastDown_ = 0;
};

}  // namespace tarq

#endif  // TARQ_PLUGIN_TARQ_ENGINE_PLUGIN_H_

// Drives a TarqEnginePlugin through the in-process host as a Flutter
// application would: calls by channel name, one listener on the event
// channel, and a timeline of everything the main thread delivered, in order.
// The plug-in gets a virtual clock (unless asked for the real one), a fake
// platform rooted in a temporary folder, a memory log and a scripted
// registration service.
#ifndef TARQ_TESTS_SUPPORT_PLUGIN_HARNESS_H_
#define TARQ_TESTS_SUPPORT_PLUGIN_HARNESS_H_

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/in_process_host.h"
#include "support/clock.h"
#include "support/system_log.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_registration.h"
#include "tests/support/temp_dir.h"

namespace tarq::testing {

class PluginHarness {
 public:
  struct Options {
    bool realClock = false;
    // Put the daemon's property list into the fake bundle.
    bool bundled = false;
  };

  PluginHarness() : PluginHarness(Options{}) {}
  explicit PluginHarness(Options options);
  ~PluginHarness();

  // Calls `method` and waits for its one answer (failing the test after
  // `timeout`). The answer is also appended to the timeline.
  MethodResponse call(const std::string& method, Value arguments = Value(),
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));
  std::future<MethodResponse> callAsync(const std::string& method, Value arguments = Value());

  // Both return once the plug-in has posted the change to its queue, so
  // that work queued afterwards sees it.
  void listen();
  void cancel();

  // Events received by the listener, in order.
  std::vector<Value> events() const;
  // "status" event states in order, e.g. {"connecting", "connected"}.
  std::vector<std::string> states() const;
  std::vector<Value> statsEvents() const { return eventsOfType("stats"); }
  std::vector<Value> eventsOfType(const char* type) const;
  // "event <state or type>" and "answer <method>" in the order the main
  // thread delivered them.
  std::vector<std::string> timeline() const;
  bool waitForEvents(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until every task posted to the main thread so far has run.
  void flush();

  // Application Support/Orvek/config.json.
  std::string configPath() const;

  TempDir dir;
  std::string socketPath;
  std::string applicationSupport;
  std::string bundleRoot;
  std::shared_ptr<VirtualClock> virtualClock;  // null with the real clock
  std::shared_ptr<Clock> clock;
  std::shared_ptr<FakePlatform> platform;
  std::shared_ptr<MemoryLog> log;
  std::shared_ptr<FakeRegistrationService> registration;
  std::unique_ptr<InProcessHost> host;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Value> events_;
  std::vector<std::string> timeline_;
};

// Shorthands for answers.
bool isNullSuccess(const MethodResponse& response);
const FlutterError* asError(const MethodResponse& response);
const Value* asValue(const MethodResponse& response);

}  // namespace tarq::testing

namespace tarq {
// Readable values in GoogleTest's messages.
inline void PrintTo(const Value& value, std::ostream* out) {
  *out << describe(value);
}
}  // namespace tarq

#endif  // TARQ_TESTS_SUPPORT_PLUGIN_HARNESS_H_

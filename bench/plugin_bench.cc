// The plug-in's own costs, through the in-process host:
// - the main thread's cost of one method call while a start holds the queue;
// - the time from "start" to its answer (after "connected") against a helper
//   and a Clash API that answer at once;
// - the work queue's CPU time for one sampler tick at 1,000 and 10,000 open
//   connections.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <future>
#include <string>

#include "clash-api-server/clash_api_server.h"
#include "plugin/tarq_engine_plugin.h"
#include "tests/support/capturing_registrar.h"
#include "tests/support/connections_body.h"
#include "tests/support/fake_helper_daemon.h"
#include "tests/support/plugin_harness.h"

namespace tarq {
namespace {

using testing::CapturingRegistrar;
using testing::FakeHelperDaemon;
using testing::FakeReply;
using testing::PluginHarness;

Value startArguments(int port) {
  return Value(ValueMap{{"config", "{}"}, {"selected", "direct-b"}, {"clashPort", port}});
}

void BM_MainThreadCallWhileStartHoldsQueue(benchmark::State& state) {
  PluginHarness harness;  // supplies the environment
  FakeHelperDaemon daemon(harness.socketPath);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  daemon.setResponder([released](const nlohmann::json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "start") {
      released.wait();
    }
    return std::nullopt;
  });
  CapturingRegistrar registrar;
  TarqEnginePlugin::registerWith(registrar,
                                 PluginEnvironment{harness.clock, harness.platform, harness.log,
                                                   harness.registration, harness.socketPath});
  std::atomic<int64_t> answered{0};
  auto count = [&answered](MethodResponse) { ++answered; };
  registrar.methodHandler(MethodCall{"start", startArguments(1)},
                          std::make_unique<MethodResultFunction>(count));
  daemon.waitForRequests(2);

  const MethodCall select{"select", Value(ValueMap{{"tag", "direct-a"}})};
  for (auto _ : state) {
    registrar.methodHandler(select, std::make_unique<MethodResultFunction>(count));
  }
  release.set_value();
  const int64_t expected = state.iterations() + 1;
  while (answered.load() < expected) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
BENCHMARK(BM_MainThreadCallWhileStartHoldsQueue);

void BM_StartToConnected(benchmark::State& state) {
  PluginHarness harness({.realClock = true});
  FakeHelperDaemon daemon(harness.socketPath);
  ClashApiServer clash;
  harness.listen();
  for (auto _ : state) {
    MethodResponse response = harness.call("start", startArguments(clash.port()));
    if (!testing::isNullSuccess(response)) {
      state.SkipWithError(describe(response).c_str());
      break;
    }
  }
  harness.call("stop");
}
BENCHMARK(BM_StartToConnected)->Unit(benchmark::kMillisecond)->UseRealTime();

// CPU time of one tick, read from the work queue thread's own CPU clock.
void BM_SamplerTick(benchmark::State& state) {
  PluginHarness harness;
  FakeHelperDaemon daemon(harness.socketPath);
  ClashApiServer clash;
  const std::string body = testing::connectionsBody(static_cast<int>(state.range(0)), 1, 1);
  clash.setConnectionsBody(body);

  std::atomic<clockid_t> queueClock{0};
  harness.platform->setExistsOverride([&](const std::string&) -> std::optional<bool> {
    clockid_t id;
    if (pthread_getcpuclockid(pthread_self(), &id) == 0) {
      queueClock = id;
    }
    return std::nullopt;
  });
  harness.listen();
  if (!testing::isNullSuccess(harness.call("start", startArguments(clash.port())))) {
    state.SkipWithError("start failed");
    return;
  }
  const auto cpuNow = [&] {
    timespec now{};
    clock_gettime(queueClock.load(), &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  };
  size_t events = harness.events().size();
  for (auto _ : state) {
    const double before = cpuNow();
    harness.virtualClock->advance(std::chrono::seconds(1));
    harness.waitForEvents(++events);
    state.SetIterationTime(cpuNow() - before);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
  harness.call("stop");
}
BENCHMARK(BM_SamplerTick)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarq

BENCHMARK_MAIN();

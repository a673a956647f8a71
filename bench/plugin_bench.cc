// The plug-in's own costs, through the in-process host:
// - the main thread's cost of one method call while a start holds the queue;
// - the time from "start" to its answer (after "connected") against a helper
//   and a Clash API that answer at once;
// - the same against the real development helper running the stand-in
//   engine, for a first start and for a restart (a start while connected);
// - the work queue's CPU time for one sampler tick at 10, 1,000, 10,000 and
//   100,000 open connections.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

#if defined(TARQ_DEVHELPER_PATH) && defined(TARQ_SIMENGINE_PATH)
// tarq-devhelper running tarq-simengine on the harness's socket, for as long
// as it lives.
class StandInHelper {
 public:
  explicit StandInHelper(PluginHarness& harness) : port_(freeLoopbackPort()) {
    const std::string uid = std::to_string(getuid());
    const std::string state = harness.dir.file("state");
    std::vector<std::string> words = {TARQ_DEVHELPER_PATH, "--socket",    harness.socketPath,
                                      "--state-dir",       state,         "--engine",
                                      TARQ_SIMENGINE_PATH, "--allow-uid", uid};
    if (geteuid() == 0) {
      // A root helper's engine runs as a user of its own, which must pass
      // through the harness's folder to its state.
      words.insert(words.end(), {"--engine-user", "nobody"});
      chmod(harness.dir.path().c_str(), 0711);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && !std::filesystem::exists(harness.socketPath); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~StandInHelper() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

  Value startArguments() const {
    const nlohmann::json config = {
        {"outbounds",
         {{{"type", "selector"}, {"tag", "tarq"}, {"outbounds", {"direct-a", "direct-b"}}},
          {{"type", "direct"}, {"tag", "direct-a"}},
          {{"type", "direct"}, {"tag", "direct-b"}}}},
        {"experimental",
         {{"clash_api", {{"external_controller", "127.0.0.1:" + std::to_string(port_)}}}}}};
    return Value(
        ValueMap{{"config", config.dump()}, {"selected", "direct-b"}, {"clashPort", port_}});
  }

 private:
  static int freeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
  }

  int port_;
  pid_t pid_ = -1;
};

// Arg 0: a first start (the tunnel is stopped between iterations); arg 1: a
// restart, a start while connected, which stops the running engine first.
void BM_StartAgainstStandIn(benchmark::State& state) {
  const bool restart = state.range(0) == 1;
  PluginHarness harness({.realClock = true});
  StandInHelper helper(harness);
  harness.listen();
  if (restart && !testing::isNullSuccess(harness.call("start", helper.startArguments()))) {
    state.SkipWithError("start failed");
    return;
  }
  for (auto _ : state) {
    MethodResponse response = harness.call("start", helper.startArguments());
    if (!testing::isNullSuccess(response)) {
      state.SkipWithError(describe(response).c_str());
      break;
    }
    if (!restart) {
      state.PauseTiming();
      harness.call("stop");
      state.ResumeTiming();
    }
  }
  harness.call("stop");
}
BENCHMARK(BM_StartAgainstStandIn)
    ->ArgName("restart")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

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
BENCHMARK(BM_SamplerTick)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarq

BENCHMARK_MAIN();

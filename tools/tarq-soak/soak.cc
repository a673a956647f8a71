#include "soak.h"

#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "child_process.h"

namespace tarq {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr char kSecret[] = "soak-secret";
constexpr size_t kUnexpectedKept = 20;
// Room for the tick that finds a killed engine gone (once a second).
constexpr auto kTunnelStoppedWait = 3s;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

int freeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  socklen_t length = sizeof address;
  const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(probe);
  if (!bound) {
    throw std::runtime_error("no free port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

std::string engineConfig(int port, bool usable) {
  Json config = {
      {"experimental",
       {{"clash_api",
         {{"external_controller", "127.0.0.1:" + std::to_string(port)}, {"secret", kSecret}}}}}};
  if (usable) {  // without the selector "tarq" the engine exits at once
    config["outbounds"] = {
        {{"type", "selector"}, {"tag", "tarq"}, {"outbounds", {"direct-a", "direct-b"}}},
        {{"type", "direct"}, {"tag", "direct-a"}},
        {{"type", "direct"}, {"tag", "direct-b"}}};
  }
  return config.dump();
}

std::string describeAnswer(const std::optional<MethodResponse>& response) {
  if (!response) {
    return "no answer";
  }
  if (const auto* error = std::get_if<FlutterError>(&*response)) {
    return error->code + ": " + error->message;
  }
  if (const auto* value = std::get_if<Value>(&*response)) {
    return describe(*value);
  }
  return "not implemented";
}

bool succeeded(const std::optional<MethodResponse>& response) {
  return response && std::holds_alternative<Value>(*response);
}

std::string errorCode(const std::optional<MethodResponse>& response) {
  const auto* error = response ? std::get_if<FlutterError>(&*response) : nullptr;
  return error ? error->code : "";
}

class SoakRun {
 public:
  explicit SoakRun(const SoakOptions& options)
      : options_(options),
        random_(options.seed),
        folder_(makeFolder()),
        socket_(folder_ + "/helper.sock"),
        state_(folder_ + "/state"),
        userConfig_(folder_ + "/data/Orvek/config.json"),
        port_(freeLoopbackPort()),
        goodConfig_(engineConfig(port_, true)),
        refusedConfig_(engineConfig(port_, false)) {
    // The plug-in's configuration file goes under the XDG data home.
    setenv("XDG_DATA_HOME", (folder_ + "/data").c_str(), 1);
    startHelper();
    app_ = std::make_unique<SoakApp>(socket_);
    app_->listen();
  }

  ~SoakRun() {
    app_.reset();
    helper_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  SoakReport run() {
    const auto began = SteadyClock::now();
    report_.memoryJudged = !kAddressSanitizer;
    for (int cycle = 0; cycle < options_.cycles; ++cycle) {
      const auto fault =
          static_cast<Fault>(std::uniform_int_distribution<int>(0, kFaultKinds - 1)(random_));
      const auto cycleBegan = SteadyClock::now();
      cycle_ = cycle;
      ++report_.faults[static_cast<int>(fault)];
      runCycle(fault);
      afterCycle();
      if (cycle == 0 || cycle == options_.cycles / 2 || cycle == options_.cycles - 1) {
        report_.figures.push_back(ProcessFigures::ofSelf());
      }
      if (options_.verbose) {
        std::cerr
            << "cycle " << cycle + 1 << ": " << faultName(fault) << ", "
            << std::chrono::duration<double, std::milli>(SteadyClock::now() - cycleBegan).count()
            << " ms\n";
      }
    }
    app_.reset();  // the application ends, as at quit
    helper_.reset();
    ++report_.engineChecks;
    report_.enginesLeft += static_cast<int>(processesWith("run -c " + state_).size());
    report_.cycles = options_.cycles;
    report_.app = tally_;
    report_.seconds = std::chrono::duration<double>(SteadyClock::now() - began).count();
    return report_;
  }

  // Keeps the tally of the application before it goes.
  void keepTally() { tally_ = app_->tally(); }

 private:
  static std::string makeFolder() {
    std::string pattern = (fs::temp_directory_path() / "tarq-soak-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary folder");
    }
    // A root helper's engine runs as a user of its own, which must pass
    // through to its copy and working folder in the helper's state folder.
    fs::permissions(pattern, fs::perms(0711));
    return pattern;
  }

  void startHelper() {
    std::error_code ignored;
    std::vector<std::string> command = {options_.devhelper,
                                        "--socket",
                                        socket_,
                                        "--state-dir",
                                        state_,
                                        "--engine",
                                        options_.simengine,
                                        "--engine-arg=--faults",
                                        "--allow-uid",
                                        std::to_string(getuid())};
    if (geteuid() == 0) {
      // As a shipped helper runs it, under a user of its own; nobody exists
      // everywhere, where the packaging's user may not.
      command.insert(command.end(), {"--engine-user", "nobody"});
    }
    helper_ = std::make_unique<ChildProcess>(command, folder_ + "/helper.log");
    // A new helper replaces the socket a killed one left behind.
    for (int i = 0; i < 500; ++i) {
      if (fs::is_socket(socket_, ignored) && helperAnswers()) {
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    throw std::runtime_error("tarq-devhelper did not come up; see " + folder_ + "/helper.log");
  }

  bool helperAnswers() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX};
    socket_.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
  }

  Value startArguments(const std::string& config, const std::string& selected) const {
    return Value(ValueMap{{"config", config},
                          {"selected", selected},
                          {"clashPort", port_},
                          {"clashSecret", kSecret}});
  }

  std::string pick(std::initializer_list<const char*> choices) {
    const auto index = std::uniform_int_distribution<size_t>(0, choices.size() - 1)(random_);
    return *(choices.begin() + index);
  }
  std::chrono::milliseconds between(int low, int high) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int>(low, high)(random_));
  }

  void unexpected(const std::string& what, const std::optional<MethodResponse>& response) {
    if (report_.unexpected.size() < kUnexpectedKept) {
      report_.unexpected.push_back("cycle " + std::to_string(cycle_ + 1) + ": " + what + ": " +
                                   describeAnswer(response));
    } else {
      report_.unexpected.back() = "... and more";
    }
  }

  // A start, and the plug-in's configuration file gone once it has answered.
  std::optional<MethodResponse> start(const std::string& config, const std::string& selected) {
    auto answer = app_->call("start", startArguments(config, selected));
    checkConfigGone();
    return answer;
  }
  bool startConnected() {
    auto answer = start(goodConfig_, pick({"auto", "direct-a", "direct-b"}));
    if (!succeeded(answer)) {
      unexpected("start", answer);
    }
    return succeeded(answer);
  }
  void expectOk(const std::string& method, Value arguments = Value()) {
    auto answer = app_->call(method, std::move(arguments));
    if (!succeeded(answer)) {
      unexpected(method, answer);
    }
  }
  // The state of a "status" answer, checked and returned.
  std::string status() {
    auto answer = app_->call("status");
    const auto* value = answer ? std::get_if<Value>(&*answer) : nullptr;
    if (value == nullptr) {
      unexpected("status", answer);
      return "";
    }
    app_->noteState(*value);
    const Value* state = value->find("state");
    return state && state->get<std::string>() ? *state->get<std::string>() : "";
  }
  void expectState(const std::string& expected) {
    const std::string state = status();
    if (state != expected) {
      unexpected("status, expected " + expected, Value(state));
    }
  }

  void checkConfigGone() {
    ++report_.configChecks;
    std::error_code ignored;
    report_.configsLeft += fs::exists(userConfig_, ignored) ? 1 : 0;
  }

  // The Clash API's fault endpoint of the running engine.
  void apiFault(const Json& fault) {
    httplib::Client client("127.0.0.1", port_);
    client.set_bearer_token_auth(kSecret);
    auto reply = fault.is_null() ? client.Delete("/tarq/fault")
                                 : client.Put("/tarq/fault", fault.dump(), "application/json");
    if (!reply || reply->status != 204) {
      unexpected("fault endpoint", Value(reply ? std::to_string(reply->status) : "no reply"));
    }
  }

  void runCycle(Fault fault) {
    switch (fault) {
      case Fault::none:
        if (startConnected()) {
          expectOk("select", Value(ValueMap{{"tag", pick({"direct-a", "direct-b"})}}));
          expectState("connected");
        }
        break;
      case Fault::engineKilled:
        if (startConnected()) {
          killEngine();
        }
        break;
      case Fault::configRefused: {
        auto answer = start(refusedConfig_, "auto");
        if (errorCode(answer) != "start_failed") {
          unexpected("start with a refused configuration", answer);
        }
        expectState("error");
        break;
      }
      case Fault::apiErrors:
        if (startConnected()) {
          apiErrors();
        }
        break;
      case Fault::apiStall:
        if (startConnected()) {
          apiStall();
        }
        break;
      case Fault::helperRestarted:
        restartHelperMidStart();
        break;
      case Fault::restart:
        if (startConnected()) {
          const auto began = SteadyClock::now();
          auto answer = start(goodConfig_, pick({"direct-a", "direct-b"}));
          const double ms =
              std::chrono::duration<double, std::milli>(SteadyClock::now() - began).count();
          report_.slowestRestartMs = std::max(report_.slowestRestartMs, ms);
          if (!succeeded(answer)) {
            unexpected("restart", answer);
          }
        }
        break;
      case Fault::listenerCancelled:
        app_->cancel();
        startConnected();
        expectOk("stop");
        app_->listen();
        expectState("disconnected");
        break;
    }
    expectOk("stop");
  }

  void killEngine() {
    auto answer = app_->call("helperStatus");
    const auto* value = answer ? std::get_if<Value>(&*answer) : nullptr;
    const Value* pid = value ? value->find("pid") : nullptr;
    if (pid == nullptr || pid->get<int64_t>() == nullptr || *pid->get<int64_t>() <= 0) {
      unexpected("helperStatus", answer);
      return;
    }
    const int64_t from = app_->eventCount();
    ++report_.enginesKilled;
    kill(static_cast<pid_t>(*pid->get<int64_t>()), SIGKILL);
    const bool seen = app_->waitForEvent(
        from,
        [](const Value& event) {
          const Value* error = event.find("error");
          return error != nullptr && *error == Value("the tunnel stopped");
        },
        kTunnelStoppedWait);
    report_.tunnelStoppedSeen += seen ? 1 : 0;
    expectState("error");
  }

  // Failing selections, then failing polls (the helper still reports the
  // engine running, so the tunnel stays up).
  void apiErrors() {
    apiFault({{"method", "PUT"}, {"path", "/proxies/tarq"}, {"status", 500}});
    auto answer = app_->call("select", Value(ValueMap{{"tag", "direct-a"}}));
    if (errorCode(answer) != "select_failed") {
      unexpected("select against a failing API", answer);
    }
    apiFault({{"method", "GET"},
              {"path", "/connections"},
              {"status", std::uniform_int_distribution<int>(0, 1)(random_) == 0 ? 500 : 503},
              {"body", pick({"", "not json", "{\"message\":\"boom\"}"})}});
    std::this_thread::sleep_for(between(0, 1200));
    expectState("connected");
    apiFault(nullptr);
  }

  // A selection that hangs until the fault is cleared.
  void apiStall() {
    apiFault({{"method", "PUT"}, {"path", "/proxies/tarq"}, {"stall", true}});
    auto select =
        app_->callAsync("select", Value(ValueMap{{"tag", pick({"direct-a", "direct-b"})}}));
    std::this_thread::sleep_for(between(20, 300));
    apiFault(nullptr);
    auto answer = app_->await(select, 10s);
    if (!succeeded(answer)) {
      unexpected("select released from a stall", answer);
    }
  }

  // The helper freezes, a start waits for its answer, the helper is killed
  // (leaving its socket behind) and a new one replaces it. No engine runs
  // then: every cycle ends stopped. The plug-in writes its configuration
  // file just before it turns to the helper; should it still reach only the
  // new helper, the start may succeed.
  void restartHelperMidStart() {
    helper_->signal(SIGSTOP);
    auto pending = app_->callAsync("start", startArguments(goodConfig_, "auto"));
    std::error_code ignored;
    for (int i = 0; i < 1000 && !fs::exists(userConfig_, ignored); ++i) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(between(1, 20));
    helper_->end(SIGKILL);
    startHelper();
    auto answer = app_->await(pending, 45s);
    checkConfigGone();
    const bool failed = errorCode(answer) == "start_failed";
    report_.startsCutByHelperKill += failed ? 1 : 0;
    if (!failed && !succeeded(answer)) {
      unexpected("start while the helper was killed", answer);
    }
    const std::string state = status();
    if (state != (failed ? "error" : "connected")) {
      unexpected("status after the helper was killed", Value(state));
    }
  }

  // After every cycle's stop: no copy of a configuration in the helper's
  // folder, and no engine running.
  void afterCycle() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(state_, ignored)) {
      report_.configsLeft += entry.path().extension() == ".json" ? 1 : 0;
    }
    ++report_.configChecks;
    ++report_.engineChecks;
    report_.enginesLeft += static_cast<int>(processesWith("run -c " + state_).size());
    keepTally();
  }

  const SoakOptions options_;
  std::mt19937_64 random_;
  const std::string folder_;
  const std::string socket_;
  const std::string state_;
  const std::string userConfig_;
  const int port_;
  const std::string goodConfig_;
  const std::string refusedConfig_;
  std::unique_ptr<ChildProcess> helper_;
  std::unique_ptr<SoakApp> app_;
  int cycle_ = 0;
  AppTally tally_;
  SoakReport report_;
};

bool within(int64_t first, int64_t last, int64_t slack) {
  return last - first <= slack;
}

}  // namespace

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::none:
      return "no fault";
    case Fault::engineKilled:
      return "engine killed (SIGKILL)";
    case Fault::configRefused:
      return "configuration refused by the engine";
    case Fault::apiErrors:
      return "Clash API answering errors";
    case Fault::apiStall:
      return "Clash API stalling";
    case Fault::helperRestarted:
      return "helper killed and restarted mid-start";
    case Fault::restart:
      return "restart while connected";
    case Fault::listenerCancelled:
      return "Dart listener cancelled and back";
  }
  return "?";
}

bool SoakReport::descriptorsFlat() const {
  return figures.size() < 2 || within(figures.front().descriptors, figures.back().descriptors, 2);
}

bool SoakReport::threadsFlat() const {
  return figures.size() < 2 || within(figures.front().threads, figures.back().threads, 2);
}

bool SoakReport::memoryFlat() const {
  if (!memoryJudged || figures.size() < 2) {
    return true;
  }
  const int64_t first = figures.front().residentKiB;
  return within(first, figures.back().residentKiB, std::max<int64_t>(4096, first / 10));
}

bool SoakReport::passed() const {
  return app.calls == app.answered && app.answeredTwice == 0 && app.unanswered == 0 &&
         app.badStates.empty() && app.eventsWhileCancelled == 0 &&
         tunnelStoppedSeen == enginesKilled && configsLeft == 0 && enginesLeft == 0 &&
         unexpected.empty() && descriptorsFlat() && threadsFlat() && memoryFlat();
}

SoakReport runSoak(const SoakOptions& options) {
  // A helper that has gone must fail a write, not end the soak.
  signal(SIGPIPE, SIG_IGN);
  SoakRun run(options);
  return run.run();
}

}  // namespace tarq

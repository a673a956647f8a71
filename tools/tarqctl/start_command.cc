// `tarqctl start CONFIG [--follow]`: starts the tunnel and, with --follow,
// stays with it: the state and the live traffic on one refreshing line, and
// commands typed on standard input ("select TAG", "status", "stop", ...),
// until Ctrl-C (which stops the tunnel), "quit" (which leaves it running) or
// the tunnel's failure.
#include <curl/curl.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "clash_watch.h"
#include "commands.h"
#include "console.h"
#include "daemon/core/clash_controller_address.h"
#include "daemon/core/config_document.h"
#include "human_format.h"

namespace tarq {
namespace {

constexpr int kInterruptedStatus = 130;
// The plug-in's message for a Clash API that never answered.
constexpr char kClashTimedOut[] = "timed out waiting for the clash api";

// Thrown for a start that cannot even be asked for; exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string readConfig(const std::string& path) {
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!file || !(text << file.rdbuf())) {
    throw UsageError("cannot read " + path + ": " + (errno != 0 ? strerror(errno) : "read error"));
  }
  return text.str();
}

void warn(const StartOptions& start, const std::string& text) {
  std::cerr << "tarqctl: warning: " << start.configFile << ": " << text << std::endl;
}

// Where sing-box will serve the Clash API by the configuration, as it reads
// it: an address, or why there is none the plug-in can use.
struct ClashApiPlace {
  std::optional<ClashControllerAddress> address;
  std::string problem;  // names the option; empty when the plug-in can reach it
};

ClashApiPlace findClashApi(const nlohmann::json& clashApi) {
  ClashApiPlace place;
  const std::string option = kClashControllerOption;
  const nlohmann::json* controller =
      clashApi.is_object() && clashApi.contains("external_controller")
          ? &clashApi["external_controller"]
          : nullptr;
  if (controller == nullptr || !controller->is_string() || controller->get<std::string>().empty()) {
    place.problem = option + " is not set, so sing-box serves no Clash API";
    return place;
  }
  try {
    place.address = parseClashController(controller->get<std::string>());
  } catch (const ClashControllerError& error) {
    place.problem = std::string(error.what()) + ", so sing-box will not start";
    return place;
  }
  const std::string quoted = "\"" + place.address->text + "\"";
  if (place.address->port == 0) {
    place.problem = option + " is " + quoted +
                    ": sing-box listens on a port the system picks, which the plug-in cannot know";
  } else if (!place.address->reachableFromIpv4Loopback()) {
    place.problem = option + " is " + quoted + ": " + place.address->unreachableReason() +
                    ", where the plug-in connects to the Clash API";
  }
  return place;
}

// Fills the Clash API port and secret the command line left out from the
// configuration's experimental.clash_api, as sing-box reads it and will serve
// it, and says plainly before the start when the plug-in, which connects to
// 127.0.0.1:PORT, will not reach it.
void takeClashDefaults(const std::string& config, StartOptions& start) {
  nlohmann::json clashApi;
  try {
    clashApi = ConfigDocument::parse(config).effectiveAt({"experimental", "clash_api"});
  } catch (const ConfigDocumentError& error) {
    if (!start.clashPort || !start.clashSecret) {
      throw UsageError(start.configFile + ": " + error.what() + " (sing-box would refuse it too)");
    }
    warn(start, std::string(error.what()) + " (sing-box will refuse it)");
    return;
  }
  if (!start.clashSecret) {
    start.clashSecret =
        clashApi.is_object() && clashApi.contains("secret") && clashApi["secret"].is_string()
            ? clashApi["secret"].get<std::string>()
            : "";
  }
  const ClashApiPlace place = findClashApi(clashApi);
  if (!start.clashPort) {
    if (!place.address || place.address->port == 0) {
      throw UsageError(start.configFile + ": " + place.problem + "; set it, or give --clash-port");
    }
    start.clashPort = place.address->port;
  } else if (place.address && place.address->port != 0 && place.address->port != *start.clashPort) {
    warn(start, std::string(kClashControllerOption) + " is \"" + place.address->text +
                    "\": sing-box listens on port " + std::to_string(place.address->port) +
                    ", and the plug-in connects to port " + std::to_string(*start.clashPort));
    return;
  }
  if (!place.problem.empty()) {
    warn(start, place.problem);
  }
}

// Ctrl-C and SIGTERM become inbox messages. The signals must be blocked
// before any other thread exists, so that every thread inherits the mask.
sigset_t blockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void forwardSignals(const sigset_t& signals, std::shared_ptr<Inbox> inbox) {
  std::thread([signals, inbox] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) == 0) {
        inbox->post({.kind = ConsoleMessage::Kind::kInterrupt});
      }
    }
  }).detach();
}

// Standard input, line by line. Raw reads, so that the thread holds nothing
// that the end of the program destroys.
void forwardInput(std::shared_ptr<Inbox> inbox) {
  std::thread([inbox] {
    std::string pending;
    char buffer[1024];
    for (;;) {
      ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        if (!pending.empty()) {
          inbox->post({.kind = ConsoleMessage::Kind::kInput, .input = pending});
        }
        inbox->post({.kind = ConsoleMessage::Kind::kInputEnd});
        return;
      }
      pending.append(buffer, static_cast<size_t>(count));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        inbox->post({.kind = ConsoleMessage::Kind::kInput, .input = pending.substr(0, end)});
        pending.erase(0, end + 1);
      }
    }
  }).detach();
}

// The one refreshing line of live traffic on a terminal; elsewhere (a pipe,
// a log) one line per sample.
class LiveLine {
 public:
  explicit LiveLine(bool silent) : silent_(silent), terminal_(isatty(STDOUT_FILENO) == 1) {}

  void show(const std::string& text) {
    if (silent_) {
      return;
    }
    if (terminal_) {
      std::cout << "\r\033[K" << text << std::flush;
      shown_ = true;
    } else {
      std::cout << text << std::endl;
    }
  }
  // A line of its own, below the live line.
  void print(const std::string& text) {
    if (!silent_) {
      clear();
      std::cout << text << std::endl;
    }
  }
  void clear() {
    if (terminal_ && shown_) {
      std::cout << "\r\033[K" << std::flush;
      shown_ = false;
    }
  }

 private:
  const bool silent_;
  const bool terminal_;
  bool shown_ = false;
};

class StartSession {
 public:
  StartSession(Console& console, const StartOptions& start, std::string config)
      : console_(console), start_(start), config_(std::move(config)), live_(console.json()) {}

  int run();

 private:
  void onEvent(const Value& event);
  // Returns an exit status when the session is over.
  std::optional<int> onAnswer(const ConsoleMessage& answer);
  std::optional<int> onInput(const std::string& line);
  void requestStop();
  void printError(const std::string& text);
  void explainClashTimeout(const MethodResponse& response);

  Console& console_;
  const StartOptions& start_;
  std::string config_;
  LiveLine live_;
  const bool echoInput_ = isatty(STDIN_FILENO) != 1;
  ClashWatch watch_;  // while the start runs
  int64_t startId_ = 0;
  int64_t stopId_ = 0;
  bool started_ = false;
  bool startFailed_ = false;
  int64_t since_ = 0;
  std::map<int64_t, std::string> commands_;  // call id -> what was typed
};

int StartSession::run() {
  ValueMap arguments = {{"config", std::move(config_)},
                        {"selected", start_.selected},
                        {"clashPort", *start_.clashPort},
                        {"clashSecret", *start_.clashSecret}};
  startId_ = console_.call("start", std::move(arguments));
  watch_.start(*start_.clashPort, *start_.clashSecret);
  for (;;) {
    ConsoleMessage message = console_.next();
    std::optional<int> done;
    switch (message.kind) {
      case ConsoleMessage::Kind::kEvent:
        onEvent(message.event);
        if (started_ && !startFailed_ && stopId_ == 0 &&
            stringIn(message.event, "state") == "error") {
          return 1;
        }
        break;
      case ConsoleMessage::Kind::kAnswer:
        done = onAnswer(message);
        break;
      case ConsoleMessage::Kind::kInput:
        done = onInput(message.input);
        break;
      case ConsoleMessage::Kind::kInputEnd:
        break;  // keep following; Ctrl-C ends the session
      case ConsoleMessage::Kind::kInterrupt:
        if (stopId_ != 0) {
          printError("tarqctl: interrupted again; leaving without waiting for the stop");
          return kInterruptedStatus;
        }
        live_.print("stopping the tunnel...");
        requestStop();
        break;
    }
    if (done) {
      live_.clear();
      return *done;
    }
  }
}

void StartSession::onEvent(const Value& event) {
  std::string type = stringIn(event, "type");
  if (type == "stats") {
    if (started_ && start_.follow) {
      live_.show(describeTraffic(event, since_));
    }
    return;
  }
  std::string state = stringIn(event, "state");
  if (state == "connecting") {
    live_.print("connecting...");
  } else if (state == "connected") {
    since_ = integerIn(event, "since");
    live_.print("connected" + (since_ > 0 ? " at " + formatTimestamp(since_) : std::string()));
  } else if (state == "disconnected") {
    live_.print("disconnected");
  } else if (state == "error" && started_ && stopId_ == 0) {
    // After a successful start only the watchdog publishes errors.
    printError("tarqctl: the tunnel failed: " + stringIn(event, "error"));
  }
}

std::optional<int> StartSession::onAnswer(const ConsoleMessage& answer) {
  if (answer.id == startId_) {
    watch_.stop();
    int status = console_.exitStatus(answer.response, "start");
    if (status != 0) {
      explainClashTimeout(answer.response);
      startFailed_ = true;
      if (stopId_ == 0) {
        return status;
      }
      return std::nullopt;  // the stop asked for meanwhile answers next
    }
    started_ = true;
    std::string outbound = start_.selected == "auto" ? "the engine's choice of outbound"
                                                     : "outbound \"" + start_.selected + "\"";
    live_.print("started with " + outbound +
                "; Clash API on 127.0.0.1:" + std::to_string(*start_.clashPort));
    if (!start_.follow) {
      live_.print("the engine keeps running; \"tarqctl stop\" stops it");
      return 0;
    }
    if (stopId_ == 0) {
      live_.print("following the traffic: Ctrl-C stops the tunnel; type \"help\" for the commands");
    }
    return std::nullopt;
  }
  if (answer.id == stopId_) {
    int status = console_.exitStatus(answer.response, "stop");
    if (status == 0) {
      live_.print("stopped");
    }
    return startFailed_ ? 1 : status;
  }
  auto command = commands_.find(answer.id);
  if (command == commands_.end()) {
    return std::nullopt;
  }
  live_.clear();
  if (console_.exitStatus(answer.response, answer.method) == 0) {
    const Value& value = std::get<Value>(answer.response);
    if (answer.method == "status") {
      console_.say(describeStatus(value));
    } else if (answer.method == "helperStatus") {
      console_.say(describeHelperStatus(value, console_.socketPath()));
    } else if (answer.method == "select") {
      live_.print("outbound \"" + command->second + "\" selected");
    }
  }
  commands_.erase(command);
  return std::nullopt;
}

std::optional<int> StartSession::onInput(const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb.empty()) {
    return std::nullopt;
  }
  if (echoInput_) {
    live_.print("> " + line);
  }
  if (verb == "select") {
    std::string tag;
    std::getline(words >> std::ws, tag);
    if (tag.empty()) {
      printError("tarqctl: select needs a TAG");
      return std::nullopt;
    }
    commands_[console_.call("select", ValueMap{{"tag", tag}})] = tag;
  } else if (verb == "status") {
    commands_[console_.call("status")] = verb;
  } else if (verb == "helper-status") {
    commands_[console_.call("helperStatus")] = verb;
  } else if (verb == "stop") {
    if (stopId_ == 0) {
      requestStop();
    }
  } else if (verb == "quit" || verb == "detach") {
    live_.print("leaving the tunnel running; \"tarqctl stop\" stops it");
    return 0;
  } else if (verb == "help") {
    live_.print(
        "commands: select TAG | status | helper-status | stop | quit (leaves the tunnel "
        "running); Ctrl-C stops the tunnel");
  } else {
    printError("tarqctl: unknown command \"" + verb + "\"; type \"help\"");
  }
  return std::nullopt;
}

void StartSession::requestStop() {
  stopId_ = console_.call("stop");
}

// A start that timed out waiting for the Clash API: what it answered
// tarqctl while the engine ran.
void StartSession::explainClashTimeout(const MethodResponse& response) {
  const auto* error = std::get_if<FlutterError>(&response);
  if (error == nullptr || error->message != kClashTimedOut) {
    return;
  }
  const std::string where = "127.0.0.1:" + std::to_string(*start_.clashPort);
  switch (watch_.last()) {
    case ClashAnswer::kUnauthorized:
      printError(
          "tarqctl: the Clash API refused the secret (clashSecret does not match "
          "experimental.clash_api.secret)");
      break;
    case ClashAnswer::kNothingListens:
    case ClashAnswer::kNotAsked:
      printError("tarqctl: nothing listens on " + where);
      break;
    case ClashAnswer::kOther:
      printError("tarqctl: something on " + where + " does not answer as sing-box's Clash API");
      break;
    case ClashAnswer::kAnswered:
      break;
  }
}

void StartSession::printError(const std::string& text) {
  live_.clear();
  std::cerr << text << std::endl;
}

}  // namespace

int runStart(const CommonOptions& options, StartOptions start) {
  // Before any thread: the start's Clash API watch and the plug-in's client
  // both use libcurl.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::string config;
  try {
    config = readConfig(start.configFile);
    takeClashDefaults(config, start);
  } catch (const UsageError& error) {
    std::cerr << "tarqctl: " << error.what() << std::endl;
    return 2;
  }
  sigset_t signals{};
  if (start.follow) {
    signals = blockStopSignals();
  }
  Console console({.socketPath = options.socketPath, .json = options.json});
  if (start.follow) {
    forwardSignals(signals, console.inbox());
    forwardInput(console.inbox());
  }
  return StartSession(console, start, std::move(config)).run();
}

}  // namespace tarq

// tarq-simengine: a stand-in for sing-box, for demonstrations and tests on
// machines without it. `tarq-simengine run -c CONFIG [-D DIR]` reads a real
// sing-box configuration and serves the Clash API the plug-in uses, with
// made-up traffic; it routes nothing. Like sing-box it works in DIR (made
// when missing), so that relative paths (CONFIG and the cache file among
// them) resolve there, and keeps the selectors' choices in the cache file
// when experimental.cache_file is enabled.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "clash-api-server/clash_api_server.h"
#include "engine_config.h"
#include "selection_cache.h"
#include "synthetic_traffic.h"

namespace tarq {
namespace {

constexpr char kProgram[] = "tarq-simengine";

void logLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::cerr << kProgram << ": " << line << std::endl;
}

std::string readFile(const std::string& path) {
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!file || !(text << file.rdbuf())) {
    throw EngineConfigError(std::string("cannot read it: ") +
                            (errno != 0 ? strerror(errno) : "read error"));
  }
  return text.str();
}

// Waits for SIGTERM, SIGINT or SIGHUP, which every thread keeps blocked.
int waitForSignal(const sigset_t& signals) {
  int received = 0;
  sigwait(&signals, &received);
  return received;
}

// The made-up traffic behind GET /connections, at the rate of the outbound
// that the group "tarq" uses.
class SimulatedTraffic : public ClashTraffic {
 public:
  SimulatedTraffic(const SelectorGroup& group, int connections)
      : members_(group.members), traffic_(connections, SyntheticTraffic::Clock::now()) {}

  std::string connections(const Selection& now) override {
    advance(now);
    return traffic_.connectionsReply(now.at(kSelectorGroup), kSelectorGroup).dump() + "\n";
  }
  // Traffic so far counts at the old outbound's rate.
  void switching(const Selection& before) override { advance(before); }

 private:
  void advance(const Selection& selection) {
    auto found = std::find(members_.begin(), members_.end(), selection.at(kSelectorGroup));
    traffic_.advance(SyntheticTraffic::Clock::now(), static_cast<size_t>(found - members_.begin()));
  }

  const std::vector<std::string> members_;
  SyntheticTraffic traffic_;
};

// Stores every selector's member in the cache file each time one is
// switched, before the switch is answered, as sing-box stores it.
class SelectionKeeper {
 public:
  SelectionKeeper(std::string path, const EngineConfig& config) : path_(std::move(path)) {
    for (const auto& [tag, group] : config.selectors) {
      groups_.push_back(tag);
    }
  }

  // Held while the server is made and handed over, so that a switch that
  // comes at once waits for it.
  std::unique_lock<std::mutex> holdUntilServing() { return std::unique_lock(mutex_); }
  // With the lock of holdUntilServing(); null when the server goes.
  void serve(const ClashApiServer* server) { server_ = server; }

  void save() {
    std::lock_guard lock(mutex_);
    if (server_ == nullptr || path_.empty()) {
      return;
    }
    StoredSelection selection;
    for (const std::string& group : groups_) {
      selection[group] = server_->selected(group);
    }
    try {
      saveSelection(path_, selection);
    } catch (const std::exception& error) {
      logLine(std::string("store selected: ") + error.what());
    }
  }

 private:
  const std::string path_;
  std::vector<std::string> groups_;
  std::mutex mutex_;
  const ClashApiServer* server_ = nullptr;
};

ClashApiSetup serverSetup(const EngineConfig& config, int connections, bool faults,
                          const StoredSelection& stored,
                          const std::shared_ptr<SelectionKeeper>& keeper) {
  ClashApiSetup setup;
  setup.host = config.host;
  setup.port = config.port;
  setup.secret = config.secret;
  setup.version = "sing-box stand-in tarq-simengine " TARQ_VERSION;
  setup.outboundTypes = config.outboundTypes;
  setup.selectors.clear();
  for (const auto& [tag, group] : config.selectors) {
    // The stored member when it is still one of the group's, as sing-box
    // restores it; else the group's default.
    auto restored = stored.find(tag);
    const bool member = restored != stored.end() &&
                        std::find(group.members.begin(), group.members.end(), restored->second) !=
                            group.members.end();
    setup.selectors[tag] = ClashSelector{group.members, member ? restored->second : group.initial};
  }
  setup.traffic =
      std::make_shared<SimulatedTraffic>(config.selectors.at(kSelectorGroup), connections);
  setup.faultControl = faults;
  setup.recordRequests = false;
  setup.log = [keeper](const std::string& line) {
    logLine(line);
    keeper->save();
  };
  return setup;
}

// Makes `directory` when missing and works there, as sing-box's -D does.
void enterDirectory(const std::string& directory) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  if (chdir(directory.c_str()) != 0) {
    throw EngineConfigError("cannot work in " + directory + ": " + strerror(errno));
  }
}

int run(const std::string& configPath, const std::string& directory, int connections, bool faults) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  EngineConfig config;
  std::unique_ptr<ClashApiServer> server;
  std::shared_ptr<SelectionKeeper> keeper;
  try {
    if (!directory.empty()) {
      enterDirectory(directory);
    }
    config = EngineConfig::parse(readFile(configPath));
    const StoredSelection stored =
        config.cacheFile.empty() ? StoredSelection() : loadSelection(config.cacheFile);
    keeper = std::make_shared<SelectionKeeper>(config.cacheFile, config);
    auto serving = keeper->holdUntilServing();
    server =
        std::make_unique<ClashApiServer>(serverSetup(config, connections, faults, stored, keeper));
    keeper->serve(server.get());
  } catch (const std::exception& error) {
    logLine(configPath + ": " + error.what());
    return 1;
  }
  logLine("clash api listening at " + config.host + ":" + std::to_string(server->port()) +
          (config.secret.empty() ? " without a secret" : " with a secret") + ", selector \"" +
          kSelectorGroup + "\" uses \"" + server->selected(kSelectorGroup) + "\"" +
          (config.cacheFile.empty() ? "" : ", selections kept in " + config.cacheFile) +
          (faults ? ", faults settable at /tarq/fault" : ""));
  const int signal = waitForSignal(signals);
  // Ends idle keep-alive connections too, so that the exit is prompt.
  server->stop();
  {
    auto gone = keeper->holdUntilServing();
    keeper->serve(nullptr);
  }
  logLine(std::string("stopped by ") + sigabbrev_np(signal));
  return 0;
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  CLI::App app{
      "A stand-in for sing-box, for demonstrations and tests where sing-box is not installed.\n"
      "It reads a real sing-box configuration and serves, on the address of\n"
      "experimental.clash_api.external_controller (on loopback only: 127.0.0.1 where sing-box\n"
      "would listen on every address), the Clash API endpoints the TARQ plug-in uses:\n"
      "GET /version, GET and PUT /proxies/{group}, GET /connections, with made-up traffic.\n"
      "With experimental.cache_file enabled, selections are kept across runs, as sing-box\n"
      "keeps them. It routes no traffic at all: it is not sing-box.",
      tarq::kProgram};
  app.require_subcommand(1);
  std::string configPath;
  int connections = 3;
  CLI::App* run = app.add_subcommand("run", "Serve the Clash API of CONFIG until SIGTERM");
  run->add_option("-c,--config", configPath, "sing-box configuration file")->required();
  std::string directory;
  run->add_option("-D,--directory", directory,
                  "Working directory, made when missing: relative paths (CONFIG too) resolve "
                  "there");
  run->add_option("--connections", connections, "Number of synthetic connections listed")
      ->check(CLI::Range(0, 100000));
  bool faults = false;
  run->add_flag("--faults", faults,
                "Serve PUT and DELETE /tarq/fault, to make any endpoint fail, delay or stall");
  app.add_subcommand("version", "Print the version");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  if (run->parsed()) {
    return tarq::run(configPath, directory, connections, faults);
  }
  std::cout << tarq::kProgram << " " << TARQ_VERSION << " (a stand-in for sing-box)\n";
  return 0;
}

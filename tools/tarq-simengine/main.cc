// tarq-simengine: a stand-in for sing-box, for demonstrations and tests on
// machines without it. `tarq-simengine run -c CONFIG` reads a real sing-box
// configuration and serves the Clash API the plug-in uses, with made-up
// traffic; it routes nothing.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "clash_api_server.h"
#include "engine_config.h"

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

int run(const std::string& configPath, int connections) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  EngineConfig config;
  std::unique_ptr<ClashApiServer> server;
  int port = 0;
  try {
    config = EngineConfig::parse(readFile(configPath));
    server = std::make_unique<ClashApiServer>(config, connections, logLine);
    port = server->bind();
  } catch (const EngineConfigError& error) {
    logLine(configPath + ": " + error.what());
    return 1;
  }
  logLine("clash api listening at " + config.host + ":" + std::to_string(port) +
          (config.secret.empty() ? " without a secret" : " with a secret") + ", selector \"" +
          kSelectorGroup + "\" uses \"" + config.selectors.at(kSelectorGroup).initial + "\"");

  std::atomic<bool> ended{false};
  bool served = true;
  std::thread serving([&] {
    served = server->serve();
    ended = true;
  });
  int signal = waitForSignal(signals);
  // The server ignores stop() until it has begun to serve, so ask again
  // until it has ended.
  while (!ended) {
    server->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  serving.join();
  logLine(std::string("stopped by ") + sigabbrev_np(signal));
  return served ? 0 : 1;
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  CLI::App app{
      "A stand-in for sing-box, for demonstrations and tests where sing-box is not installed.\n"
      "It reads a real sing-box configuration and serves, on the address of\n"
      "experimental.clash_api.external_controller (loopback only), the Clash API endpoints the\n"
      "TARQ plug-in uses: GET /version, GET and PUT /proxies/{group}, GET /connections, with\n"
      "made-up traffic. It routes no traffic at all: it is not sing-box.",
      tarq::kProgram};
  app.require_subcommand(1);
  std::string configPath;
  int connections = 3;
  CLI::App* run = app.add_subcommand("run", "Serve the Clash API of CONFIG until SIGTERM");
  run->add_option("-c,--config", configPath, "sing-box configuration file")->required();
  run->add_option("--connections", connections, "Number of synthetic connections listed")
      ->check(CLI::Range(0, 100000));
  app.add_subcommand("version", "Print the version");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  if (run->parsed()) {
    return tarq::run(configPath, connections);
  }
  std::cout << tarq::kProgram << " " << TARQ_VERSION << " (a stand-in for sing-box)\n";
  return 0;
}

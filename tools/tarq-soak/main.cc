// tarq-soak: the fault soak. N cycles of start, select and stop of one
// plug-in, through the in-process host, against a real tarq-devhelper running
// tarq-simengine, with faults drawn from --seed; a table of what it checked
// at the end, and exit status 1 when any check failed.
#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>

#include "soak.h"

namespace tarq {
namespace {

std::string ownFolder() {
  char self[PATH_MAX];
  const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string path(self, size > 0 ? static_cast<size_t>(size) : 0);
  return path.empty() ? "." : path.substr(0, path.rfind('/'));
}

void row(const std::string& check, const std::string& figures, bool ok) {
  std::printf("| %-48s | %-52s | %-4s |\n", check.c_str(), figures.c_str(), ok ? "ok" : "FAIL");
}

std::string trio(const SoakReport& report, int64_t ProcessFigures::*field) {
  std::string text;
  for (const ProcessFigures& figures : report.figures) {
    text += (text.empty() ? "" : " / ") + std::to_string(figures.*field);
  }
  return text;
}

void printReport(const SoakReport& report, const SoakOptions& options) {
  std::printf("tarq-soak: %d cycles, seed %llu, %.1f s\n\n", report.cycles,
              static_cast<unsigned long long>(options.seed), report.seconds);
  std::printf("| %-48s | %-52s | %-4s |\n", "fault", "cycles", "");
  std::printf("|%s|%s|%s|\n", std::string(50, '-').c_str(), std::string(54, '-').c_str(),
              std::string(6, '-').c_str());
  for (int kind = 0; kind < kFaultKinds; ++kind) {
    std::printf("| %-48s | %-52d | %-4s |\n", faultName(static_cast<Fault>(kind)),
                report.faults[kind], "");
  }
  std::printf("\n| %-48s | %-52s | %-4s |\n", "check", "figures", "");
  std::printf("|%s|%s|%s|\n", std::string(50, '-').c_str(), std::string(54, '-').c_str(),
              std::string(6, '-').c_str());
  const AppTally& app = report.app;
  row("every call answered exactly once",
      std::to_string(app.calls) + " calls, " + std::to_string(app.answered) + " answered, " +
          std::to_string(app.unanswered) + " never, " + std::to_string(app.answeredTwice) +
          " twice",
      app.calls == app.answered && app.unanswered == 0 && app.answeredTwice == 0);
  row("state always one of the four",
      std::to_string(app.statesSeen) + " states seen, " + std::to_string(app.badStates.size()) +
          " other",
      app.badStates.empty());
  row("no event while the listener was cancelled",
      std::to_string(app.events) + " events, " + std::to_string(app.eventsWhileCancelled) +
          " while cancelled",
      app.eventsWhileCancelled == 0);
  row("\"the tunnel stopped\" after the engine was killed",
      std::to_string(report.tunnelStoppedSeen) + " of " + std::to_string(report.enginesKilled),
      report.tunnelStoppedSeen == report.enginesKilled);
  row("no configuration file left behind",
      std::to_string(report.configsLeft) + " left in " + std::to_string(report.configChecks) +
          " checks",
      report.configsLeft == 0);
  row("no engine process left",
      std::to_string(report.enginesLeft) + " in " + std::to_string(report.engineChecks) + " checks",
      report.enginesLeft == 0);
  row("answers as each fault explains them",
      std::to_string(report.unexpected.size()) + " unexplained", report.unexpected.empty());
  row("file descriptors (first / middle / last)", trio(report, &ProcessFigures::descriptors),
      report.descriptorsFlat());
  row("threads (first / middle / last)", trio(report, &ProcessFigures::threads),
      report.threadsFlat());
  row(report.memoryJudged ? "resident memory, KiB (first / middle / last)"
                          : "resident memory, KiB (not judged under ASan)",
      trio(report, &ProcessFigures::residentKiB), report.memoryFlat());
  char slowest[32];
  std::snprintf(slowest, sizeof slowest, "%.0f ms", report.slowestRestartMs);
  std::printf("\nslowest restart: %s\n", slowest);
  std::printf("starts that the helper's kill cut short: %d of %d\n", report.startsCutByHelperKill,
              report.faults[static_cast<int>(Fault::helperRestarted)]);
  for (const std::string& line : report.unexpected) {
    std::printf("unexplained: %s\n", line.c_str());
  }
  for (const std::string& state : app.badStates) {
    std::printf("bad state: %s\n", state.c_str());
  }
  std::printf("%s\n", report.passed() ? "PASSED" : "FAILED");
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  CLI::App app{
      "The fault soak: cycles of start, select and stop of one TARQ plug-in against a real\n"
      "tarq-devhelper running tarq-simengine, in a temporary folder of its own, with a fault in\n"
      "each cycle drawn from --seed. Prints a table of its checks; exit status 1 when one fails.",
      "tarq-soak"};
  tarq::SoakOptions options;
  const std::string here = tarq::ownFolder();
  options.devhelper = here + "/tarq-devhelper";
  options.simengine = here + "/tarq-simengine";
  app.add_option("--cycles", options.cycles, "Number of cycles")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  app.add_option("--seed", options.seed, "Seed of the fault generator")->capture_default_str();
  app.add_option("--devhelper", options.devhelper, "tarq-devhelper program")->capture_default_str();
  app.add_option("--simengine", options.simengine, "tarq-simengine program")->capture_default_str();
  app.add_flag("--verbose", options.verbose, "One line per cycle on standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  try {
    const tarq::SoakReport report = tarq::runSoak(options);
    tarq::printReport(report, options);
    return report.passed() ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "tarq-soak: " << error.what() << "\n";
    return 1;
  }
}

// The fault soak: cycles of start, select and stop of one plug-in against a
// real tarq-devhelper running tarq-simengine (with its fault endpoint), each
// cycle with one fault drawn from a seeded generator, so that a run repeats.
//
// The faults: the engine killed with SIGKILL; a configuration the engine
// refuses; the Clash API answering errors; the Clash API stalling (released
// after a moment); the helper frozen and killed while a start waits for its
// answer, then brought back; a restart (a start while connected); the Dart
// listener cancelling and coming back; and no fault. Each resolves within
// about a second, well inside the plug-in's fixed deadlines.
//
// Thread safety: one thread runs it.
#ifndef TARQ_TOOLS_SOAK_SOAK_H_
#define TARQ_TOOLS_SOAK_SOAK_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "process_figures.h"
#include "soak_app.h"

namespace tarq {

enum class Fault {
  none,
  engineKilled,
  configRefused,
  apiErrors,
  apiStall,
  helperRestarted,
  restart,
  listenerCancelled,
};
inline constexpr int kFaultKinds = 8;
const char* faultName(Fault fault);

struct SoakOptions {
  int cycles = 100;
  uint64_t seed = 1;
  std::string devhelper;  // program paths
  std::string simengine;
  bool verbose = false;
};

struct SoakReport {
  int cycles = 0;
  double seconds = 0;
  std::array<int, kFaultKinds> faults{};
  AppTally app;
  int enginesKilled = 0;
  int tunnelStoppedSeen = 0;
  int configChecks = 0;
  int configsLeft = 0;  // the plug-in's file, or a copy in the helper's folder
  int engineChecks = 0;
  int enginesLeft = 0;
  int startsCutByHelperKill = 0;  // the others reached the new helper only
  double slowestRestartMs = 0;
  std::vector<std::string> unexpected;  // answers that no fault explains
  std::vector<ProcessFigures> figures;  // first, middle and last cycle
  bool memoryJudged = true;             // not under AddressSanitizer

  bool descriptorsFlat() const;
  bool threadsFlat() const;
  bool memoryFlat() const;
  // Whether every check held.
  bool passed() const;
};

// Runs the soak in a fresh temporary folder, removed afterwards. Throws
// std::runtime_error when the helper cannot be brought up.
SoakReport runSoak(const SoakOptions& options);

}  // namespace tarq

#endif  // TARQ_TOOLS_SOAK_SOAK_H_

// What judging a configuration costs the helper: reading it as sing-box
// reads it (ConfigDocument::parse) and checking its paths, beside nlohmann's
// parse of the same text, for a small real configuration, a large one (an
// inline rule set of 400,000 domains, about 12 MiB) and the densest text of
// the 16 MiB the helper accepts (a list of zeros, one value per two bytes).
//
// The goals: a large configuration is judged at 100 MB/s or more, and the
// document holds at most 12 bytes per byte of text whatever its shape
// (counter "memory/text").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "daemon/core/config_document.h"
#include "daemon/core/config_path_policy.h"

namespace tarq {
namespace {

constexpr char kFolder[] = "/var/lib/orvek-helper/engine";

std::string exampleConfig() {
  std::ifstream file(TARQ_SOURCE_DIR "/examples/sing-box.json");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string ruleListConfig() {
  std::string text = exampleConfig();
  std::string domains;
  for (int i = 0; i < 400000; ++i) {
    domains += (i == 0 ? "\"" : ",\n        \"") + std::to_string(static_cast<int64_t>(i) * 7919) + ".ads.example.com\"";
  }
  const std::string ruleSet = R"("rule_set": [{"type": "inline", "tag": "ads", "rules": [
      {"domain_suffix": [)" + domains +
                              R"(]}]}],)";
  const size_t route = text.find("\"route\": {");
  text.insert(route + std::string("\"route\": {").size(), ruleSet);
  return text;
}

std::string zeros() {
  std::string text = "[0";
  while (text.size() < 16 * 1024 * 1024 - 4) {
    text += ",0";
  }
  return text + "]";
}

const std::string& textOf(int which) {
  static const std::string texts[] = {exampleConfig(), ruleListConfig(), zeros()};
  return texts[which];
}

void setLabel(benchmark::State& state, int which) {
  static const char* labels[] = {"example", "rule list", "16 MiB of zeros"};
  state.SetLabel(labels[which]);
}

void BM_ReadAndCheck(benchmark::State& state) {
  const std::string& text = textOf(static_cast<int>(state.range(0)));
  size_t memory = 0;
  for (auto _ : state) {
    ConfigDocument document = ConfigDocument::parse(text);
    checkConfigPaths(document, kFolder);
    memory = document.memoryBytes();
    benchmark::DoNotOptimize(memory);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["memory/text"] = static_cast<double>(memory) / static_cast<double>(text.size());
  setLabel(state, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ReadAndCheck)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_NlohmannParse(benchmark::State& state) {
  const std::string& text = textOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json parsed = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  setLabel(state, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_NlohmannParse)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarq

BENCHMARK_MAIN();

// What a traffic sample costs: ClashClient::totals() over loopback against
// /connections replies shaped like the engine's, beside fetching the same
// body and discarding it, and beside parsing it into an nlohmann DOM.
//
// The goal: with 10,000 connections a totals() call costs at most twice the
// bare fetch.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "clash-api-server/clash_api_server.h"
#include "clash/clash_client.h"

namespace tarq {
namespace {

constexpr const char* kHosts[] = {
    "client.example.com",
    "api.github.com",
    "ocsp.digicert.com",
    "i.ytimg.com",
    "www.google.com",
    "tracker.opentrackr.org",
    "update.code.visualstudio.com",
    "",
    "s3.eu-central-1.amazonaws.com",
};
constexpr const char* kProcesses[] = {"", "/Applications/Safari.app/Contents/MacOS/Safari",
                                      "/Applications/Transmission.app/Contents/MacOS/Transmission",
                                      "/usr/libexec/trustd"};
constexpr const char* kRules[] = {"final", "domain_suffix=github.com", "ip_is_private",
                                  "rule_set=geosite-category-ads"};

// One connection entry as the engine writes it: keys sorted, ports as
// strings, '&' escaped.
std::string entry(std::mt19937_64& random) {
  char id[40];
  std::snprintf(id, sizeof id, "%08x-%04x-4%03x-b%03x-%012llx", static_cast<unsigned>(random()),
                static_cast<unsigned>(random() & 0xffff), static_cast<unsigned>(random() & 0xfff),
                static_cast<unsigned>(random() & 0xfff),
                static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  const bool tcp = random() % 4 != 0;
  const std::string host = kHosts[random() % std::size(kHosts)];
  const std::string destination = host.empty() ? "203.0." + std::to_string(random() % 256) + "." +
                                                     std::to_string(random() % 256)
                                               : "";
  const std::string outbound = random() % 2 ? "direct-a" : "direct-b";
  nlohmann::ordered_json metadata = {
      {"destinationIP", destination},
      {"destinationPort", std::to_string(tcp ? 443 : 1024 + random() % 60000)},
      {"dnsMode", "normal"},
      {"host", host},
      {"network", tcp ? "tcp" : "udp"},
      {"processPath", kProcesses[random() % std::size(kProcesses)]},
      {"sniffHost", ""},
      {"sourceIP", "192.168.1." + std::to_string(2 + random() % 250)},
      {"sourcePort", std::to_string(49152 + random() % 16000)},
      {"type", "tun/tun-in"}};
  nlohmann::ordered_json connection = {{"chains", {outbound, "tarq"}},
                                       {"download", random() % 50000000},
                                       {"id", id},
                                       {"metadata", metadata},
                                       {"rule", kRules[random() % std::size(kRules)]},
                                       {"rulePayload", ""},
                                       {"start", "2024-10-13T09:19:45.971965079Z"},
                                       {"upload", random() % 5000000}};
  std::string text = connection.dump();
  // The engine's encoder escapes '&', '<' and '>'.
  for (size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at)) {
    text.replace(at, 1, "\\u0026");
  }
  return text;
}

// A whole /connections reply with `count` entries, built once per size.
const std::string& connectionsBody(int count) {
  static std::map<int, std::string> bodies;
  std::string& body = bodies[count];
  if (body.empty()) {
    std::mt19937_64 random(count);
    body = R"({"connections":[)";
    for (int i = 0; i < count; ++i) {
      if (i > 0) {
        body += ',';
      }
      body += entry(random);
    }
    body += R"(],"downloadTotal":81985529216,"memory":48234496,"uploadTotal":5368709120})";
    body += '\n';
  }
  return body;
}

void describe(benchmark::State& state, const std::string& body) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body.size()));
  state.counters["entries"] = static_cast<double>(state.range(0));
  state.counters["replyBytes"] = static_cast<double>(body.size());
}

void BM_Totals(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  ClashApiServer server;
  server.setConnectionsBody(body);
  ClashClient client(server.port(), "");
  client.totals();  // connect and grow the buffers before timing
  for (auto _ : state) {
    benchmark::DoNotOptimize(client.totals());
  }
  describe(state, body);
}

// Baseline (a): the same reply over the same kind of kept connection,
// received by libcurl and thrown away.
size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

void BM_FetchAndDiscard(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  ClashApiServer server;
  server.setConnectionsBody(body);
  CURL* easy = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/connections";
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_perform(easy);
  for (auto _ : state) {
    if (curl_easy_perform(easy) != CURLE_OK) {
      state.SkipWithError("fetch failed");
      break;
    }
  }
  curl_easy_cleanup(easy);
  describe(state, body);
}

// The same fetch through the client's own request(), which hands the body
// back as a string.
void BM_Request(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  ClashApiServer server;
  server.setConnectionsBody(body);
  ClashClient client(server.port(), "");
  client.request("GET", "/connections");
  for (auto _ : state) {
    benchmark::DoNotOptimize(client.request("GET", "/connections"));
  }
  describe(state, body);
}

// Baseline (b): the reply, already in memory, parsed into an nlohmann DOM.
void BM_NlohmannDomParse(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const nlohmann::json reply = nlohmann::json::parse(body);
    benchmark::DoNotOptimize(reply.value("uploadTotal", int64_t{0}) +
                             reply.value("downloadTotal", int64_t{0}));
  }
  describe(state, body);
}

// For scale: the parse that totals() does, alone and in memory. It validates
// the whole reply, as a platform JSON parser would.
void BM_SimdjsonDomParse(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  const simdjson::padded_string padded(body);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    const simdjson::dom::element reply = parser.parse(padded);
    benchmark::DoNotOptimize(reply["uploadTotal"].get_int64().value());
  }
  describe(state, body);
}

// For comparison: simdjson's On-Demand reading the two totals and skipping
// the list unread. Cheaper, but it does not validate what it skips.
void BM_SimdjsonOnDemandSkip(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  const simdjson::padded_string padded(body);
  simdjson::ondemand::parser parser;
  for (auto _ : state) {
    simdjson::ondemand::document reply = parser.iterate(padded);
    int64_t sum = 0;
    for (auto field : reply.get_object()) {
      const std::string_view key = field.unescaped_key();
      if (key == "uploadTotal" || key == "downloadTotal") {
        sum += field.value().get_int64();
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  describe(state, body);
}

constexpr int64_t kSizes[] = {10, 1000, 10000};

void sizes(benchmark::internal::Benchmark* benchmark) {
  for (int64_t size : kSizes) {
    benchmark->Arg(size);
  }
  benchmark->Unit(benchmark::kMicrosecond);
  // On a shared machine the fastest repetition is the least disturbed one.
  benchmark->ComputeStatistics("min", [](const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
  });
}

// The loopback ones run partly on the server's threads: wall time is what a
// caller waits.
BENCHMARK(BM_Totals)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_FetchAndDiscard)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_Request)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_NlohmannDomParse)->Apply(sizes);
BENCHMARK(BM_SimdjsonDomParse)->Apply(sizes);
BENCHMARK(BM_SimdjsonOnDemandSkip)->Apply(sizes);

}  // namespace
}  // namespace tarq

BENCHMARK_MAIN();

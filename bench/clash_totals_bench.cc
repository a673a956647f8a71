// What a traffic sample costs: ClashClient::totals() over loopback against
// /connections replies shaped like the engine's, beside fetching the same
// body and discarding it, and beside parsing it into an nlohmann DOM.
//
// The goal: with 10,000 connections a totals() call costs at most twice the
// bare fetch.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "clash-api-server/clash_api_server.h"
#include "clash/clash_client.h"
#include "clash/totals_stream.h"

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
void BM_TotalsStreamInMemory(benchmark::State& state) {
  const std::string& body = connectionsBody(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(TotalsStream::read(body));
  }
  describe(state, body);
}

// Memory. Bytes held from malloc (glibc's count: what the process keeps,
// touched or not), and the resident set with its high-water mark, which the
// kernel resets on request.
double heldBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

double statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) {
      return std::stod(line.substr(prefix.size())) * 1024;
    }
  }
  return 0;
}

void resetPeakResident() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// A /connections server that hands out a body it does not own (so that it
// allocates nothing while memory is measured), with its length or, as the
// engine itself does, in chunks without one.
class BodyServer {
 public:
  explicit BodyServer(bool chunked) {
    server_.Get("/connections", [this, chunked](const httplib::Request&, httplib::Response& reply) {
      const std::string* body = body_;
      if (!chunked) {
        reply.set_content_provider(body->size(), "application/json",
                                   [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset, length);
                                   });
        return;
      }
      reply.set_chunked_content_provider(
          "application/json", [body](size_t offset, httplib::DataSink& sink) {
            const size_t piece = std::min<size_t>(32 * 1024, body->size() - offset);
            sink.write(body->data() + offset, piece);
            if (offset + piece == body->size()) {
              sink.done();
            }
            return true;
          });
    });
    // Listening from here: requests wait in the backlog until the loop runs.
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~BodyServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  // Not while a request is served.
  void setBody(const std::string& body) { body_ = &body; }

 private:
  httplib::Server server_;
  const std::string* body_ = nullptr;
  int port_ = 0;
  std::thread thread_;
};

// A new client's first totals() on a reply of range(0) entries (sent with a
// length, or in chunks when range(1) is 1), then one on a reply of 10
// entries. Counters, in bytes beyond what the process held or had resident
// before the big call: the resident peak during it ("peakResident"); what
// the client keeps after it ("held", "resident"); and after the return to 10
// entries ("heldAfter10", "residentAfter10").
void BM_TotalsMemory(benchmark::State& state) {
  const std::string& big = connectionsBody(static_cast<int>(state.range(0)));
  const std::string& small = connectionsBody(10);
  BodyServer server(state.range(1) == 1);
  double peak = 0, held = 0, resident = 0, heldAfter = 0, residentAfter = 0;
  for (auto _ : state) {
    state.PauseTiming();
    server.setBody(small);
    auto client = std::make_unique<ClashClient>(server.port(), "");
    client->totals();
    server.setBody(big);
    malloc_trim(0);
    const double heldBefore = heldBytes();
    const double residentBefore = statusKilobytes("VmRSS");
    resetPeakResident();
    state.ResumeTiming();
    benchmark::DoNotOptimize(client->totals());
    state.PauseTiming();
    peak = statusKilobytes("VmHWM") - residentBefore;
    held = heldBytes() - heldBefore;
    resident = statusKilobytes("VmRSS") - residentBefore;
    server.setBody(small);
    client->totals();
    heldAfter = heldBytes() - heldBefore;
    residentAfter = statusKilobytes("VmRSS") - residentBefore;
    client.reset();
    state.ResumeTiming();
  }
  describe(state, big);
  state.counters["chunked"] = static_cast<double>(state.range(1));
  state.counters["peakResident"] = peak;
  state.counters["held"] = held;
  state.counters["resident"] = resident;
  state.counters["heldAfter10"] = heldAfter;
  state.counters["residentAfter10"] = residentAfter;
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
// A big reply: the time that totals() takes beyond the transfer.
BENCHMARK(BM_Totals)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FetchAndDiscard)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Request)->Apply(sizes)->UseRealTime();
BENCHMARK(BM_NlohmannDomParse)->Apply(sizes);
BENCHMARK(BM_TotalsStreamInMemory)->Apply(sizes);
BENCHMARK(BM_TotalsMemory)
    ->ArgsProduct({{10, 10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace tarq

BENCHMARK_MAIN();

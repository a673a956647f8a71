#include "synthetic_traffic.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

namespace tarq {
namespace {

constexpr double kBaseUpRate = 24.0 * 1024;     // bytes per second
constexpr double kBaseDownRate = 320.0 * 1024;  // bytes per second
constexpr double kWavePeriodSeconds = 7.0;
constexpr double kWaveDepth = 0.25;
constexpr double kRankStep = 1.0;  // each later outbound of the group is this much faster

constexpr const char* kHosts[] = {"updates.example.com", "api.example.net", "cdn.example.org",
                                  "mail.example.com", "video.example.net"};

std::string rfc3339Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char text[64];
  size_t used = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + used, sizeof text - used, ".%09ldZ", now.tv_nsec);
  return text;
}

std::string randomId(std::mt19937_64& random) {
  uint64_t high = random();
  uint64_t low = random();
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx",
                static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xffff),
                static_cast<unsigned>(high & 0xfff),
                static_cast<unsigned>(0x8000 | ((low >> 48) & 0x3fff)),
                static_cast<unsigned long long>(low & 0xffffffffffffULL));
  return text;
}

}  // namespace

SyntheticTraffic::SyntheticTraffic(int connections, Clock::time_point start)
    : start_(start), startText_(rfc3339Now()), last_(start) {
  std::mt19937_64 random(std::random_device{}());
  double weightSum = 0;
  for (int i = 0; i < connections; ++i) {
    weightSum += 1.0 / (i + 1);
  }
  for (int i = 0; i < connections; ++i) {
    Entry entry;
    entry.id = randomId(random);
    constexpr int kHostCount = sizeof kHosts / sizeof kHosts[0];
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict, a false
    // positive) on "n" + std::string.
    if (i >= kHostCount) {
      entry.host = 'n';
      entry.host += std::to_string(i / kHostCount);
      entry.host += '.';
    }
    entry.host += kHosts[i % kHostCount];
    entry.sourcePort = 40000 + (i % 25000);
    entry.share = (1.0 / (i + 1)) / weightSum;
    entries_.push_back(std::move(entry));
  }
}

void SyntheticTraffic::advance(Clock::time_point now, size_t rank) {
  if (now <= last_) {
    return;
  }
  double seconds = std::chrono::duration<double>(now - last_).count();
  double age = std::chrono::duration<double>(now - start_).count();
  double wave = 1.0 + kWaveDepth * std::sin(2 * std::numbers::pi * age / kWavePeriodSeconds);
  double factor = wave * (1.0 + kRankStep * static_cast<double>(rank));
  upExact_ += kBaseUpRate * factor * seconds;
  downExact_ += kBaseDownRate * factor * seconds;
  up_ = static_cast<int64_t>(upExact_);
  down_ = static_cast<int64_t>(downExact_);
  last_ = now;
}

nlohmann::json SyntheticTraffic::connectionsReply(const std::string& leaf,
                                                  const std::string& group) const {
  nlohmann::json list = nlohmann::json::array();
  for (const Entry& entry : entries_) {
    list.push_back({
        {"chains", {leaf, group}},
        {"download", static_cast<int64_t>(static_cast<double>(down_) * entry.share)},
        {"id", entry.id},
        {"metadata",
         {{"destinationIP", ""},
          {"destinationPort", "443"},
          {"dnsMode", "normal"},
          {"host", entry.host},
          {"network", "tcp"},
          {"processPath", ""},
          {"sniffHost", ""},
          {"sourceIP", "127.0.0.1"},
          {"sourcePort", std::to_string(entry.sourcePort)},
          {"type", "mixed/mixed-in"}}},
        {"rule", "final"},
        {"rulePayload", ""},
        {"start", startText_},
        {"upload", static_cast<int64_t>(static_cast<double>(up_) * entry.share)},
    });
  }
  return {{"connections", std::move(list)},
          {"downloadTotal", down_},
          {"memory", 18 * 1024 * 1024 + static_cast<int64_t>(entries_.size()) * 4096},
          {"uploadTotal", up_}};
}

}  // namespace tarq

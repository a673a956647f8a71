#include "human_format.h"

#include <time.h>

#include <array>
#include <chrono>
#include <cstdio>

namespace tarq {

std::string formatBytes(int64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes < 0 ? 0 : bytes) + " B";
  }
  static constexpr std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double amount = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (amount >= 1024 && unit + 1 < kUnits.size()) {
    amount /= 1024;
    ++unit;
  }
  // Three significant digits, whatever the size.
  int decimals = amount < 10 ? 2 : amount < 100 ? 1 : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, amount, kUnits[unit]);
  return text;
}

std::string formatRate(int64_t bytesPerSecond) {
  return formatBytes(bytesPerSecond) + "/s";
}

std::string formatDuration(int64_t seconds) {
  if (seconds < 0) {
    seconds = 0;
  }
  char text[48];
  int64_t days = seconds / 86400;
  int64_t hours = seconds / 3600 % 24;
  int64_t minutes = seconds / 60 % 60;
  int64_t rest = seconds % 60;
  if (days > 0) {
    std::snprintf(text, sizeof text, "%lldd %02lldh %02lldm", static_cast<long long>(days),
                  static_cast<long long>(hours), static_cast<long long>(minutes));
  } else if (hours > 0) {
    std::snprintf(text, sizeof text, "%lldh %02lldm %02llds", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(rest));
  } else if (minutes > 0) {
    std::snprintf(text, sizeof text, "%lldm %02llds", static_cast<long long>(minutes),
                  static_cast<long long>(rest));
  } else {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(rest));
  }
  return text;
}

std::string formatTimestamp(int64_t milliseconds) {
  time_t seconds = static_cast<time_t>(milliseconds / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

int64_t nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string stringIn(const Value& map, const std::string& key, const std::string& fallback) {
  const Value* found = map.find(key);
  const std::string* text = found != nullptr ? found->get<std::string>() : nullptr;
  return text != nullptr ? *text : fallback;
}

int64_t integerIn(const Value& map, const std::string& key, int64_t fallback) {
  const Value* found = map.find(key);
  const int64_t* number = found != nullptr ? found->get<int64_t>() : nullptr;
  return number != nullptr ? *number : fallback;
}

std::string describeStatus(const Value& answer) {
  std::string text = "state  " + stringIn(answer, "state", "(none)") + "\n";
  int64_t since = integerIn(answer, "since");
  if (since > 0) {
    text += "since  " + formatTimestamp(since) + " (" +
            formatDuration((nowMilliseconds() - since) / 1000) + " ago)\n";
  }
  if (answer.find("error") != nullptr) {
    text += "error  " + stringIn(answer, "error") + "\n";
  }
  return text;
}

std::string describeHelperStatus(const Value& answer, const std::string& socketPath) {
  if (answer.isNull()) {
    return "helper  does not answer on " + socketPath + "\n";
  }
  const Value* running = answer.find("running");
  bool engineRunning =
      running != nullptr && running->get<bool>() != nullptr && *running->get<bool>();
  std::string text = "helper  answers on " + socketPath + ", build " +
                     stringIn(answer, "build", "(unknown)") + "\n";
  text += engineRunning ? "engine  running, pid " + std::to_string(integerIn(answer, "pid")) + "\n"
                        : std::string("engine  not running\n");
  return text;
}

std::string describeTraffic(const Value& stats, int64_t sinceMilliseconds) {
  std::string text;
  if (sinceMilliseconds > 0) {
    text = "connected " + formatDuration((nowMilliseconds() - sinceMilliseconds) / 1000) + "  ";
  }
  text += "↑ " + formatRate(integerIn(stats, "up")) + "  ↓ " +
          formatRate(integerIn(stats, "down")) + "   total ↑ " +
          formatBytes(integerIn(stats, "totalUp")) + "  ↓ " +
          formatBytes(integerIn(stats, "totalDown"));
  return text;
}

}  // namespace tarq

// Text for people: byte counts and rates in binary units, times, and the
// plug-in's answers and events as readable lines.
#ifndef TARQ_TOOLS_TARQCTL_HUMAN_FORMAT_H_
#define TARQ_TOOLS_TARQCTL_HUMAN_FORMAT_H_

#include <cstdint>
#include <string>

#include "host/value.h"

namespace tarq {

// "0 B", "999 B", "1.00 KiB", "12.3 MiB", "117 GiB".
std::string formatBytes(int64_t bytes);
// formatBytes + "/s".
std::string formatRate(int64_t bytesPerSecond);
// "45s", "2m 03s", "1h 02m 03s", "2d 03h 04m".
std::string formatDuration(int64_t seconds);
// Local time of a millisecond time stamp: "2024-10-13 09:19:45".
std::string formatTimestamp(int64_t milliseconds);

// Milliseconds since 1970 now, by the wall clock.
int64_t nowMilliseconds();

// The answer of "status": "state ...", "since ..." and "error ..." lines.
std::string describeStatus(const Value& answer);
// The answer of "helperStatus" (a map, or null when the helper is silent).
std::string describeHelperStatus(const Value& answer, const std::string& socketPath);
// One "stats" event as a line: rates, totals and, given a `since`, how long
// the tunnel has been up.
std::string describeTraffic(const Value& stats, int64_t sinceMilliseconds);

// Typed reads from a map value, with a fallback.
std::string stringIn(const Value& map, const std::string& key, const std::string& fallback = "");
int64_t integerIn(const Value& map, const std::string& key, int64_t fallback = 0);

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_HUMAN_FORMAT_H_

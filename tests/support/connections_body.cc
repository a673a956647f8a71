#include "tests/support/connections_body.h"

#include <cstdio>

namespace tarq::testing {

std::string connectionsBody(int count, int64_t uploadTotal, int64_t downloadTotal) {
  std::string body = "{\"connections\":[";
  body.reserve(static_cast<size_t>(count) * 470 + 128);
  char entry[640];
  for (int i = 0; i < count; ++i) {
    const int written = std::snprintf(
        entry, sizeof entry,
        "%s{\"chains\":[\"direct-b\",\"tarq\"],\"download\":%d,"
        "\"id\":\"76ce9d48-9e9d-4f5a-b7cc-%012d\",\"metadata\":{\"destinationIP\":\"\","
        "\"destinationPort\":\"443\",\"dnsMode\":\"normal\",\"host\":\"client%d.example.com\","
        "\"network\":\"tcp\",\"processPath\":\"/usr/lib/firefox/firefox\",\"sniffHost\":\"\","
        "\"sourceIP\":\"192.168.1.200\",\"sourcePort\":\"%d\",\"type\":\"tun/tun-in\"},"
        "\"rule\":\"final\",\"rulePayload\":\"\",\"start\":\"2024-10-13T09:19:45.971965079Z\","
        "\"upload\":%d}",
        i == 0 ? "" : ",", 6331 + i, i, i % 97, 40000 + i % 20000, 3374 + i);
    body.append(entry, static_cast<size_t>(written));
  }
  body += "],\"downloadTotal\":" + std::to_string(downloadTotal) +
          ",\"memory\":31457280,\"uploadTotal\":" + std::to_string(uploadTotal) + "}\n";
  return body;
}

}  // namespace tarq::testing

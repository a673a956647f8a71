#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <limits>
#include <string>

#include "clash-api-server/clash_api_server.h"
#include "clash/clash_client.h"

namespace tarq {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// One entry of the engine's list, escapes included.
constexpr char kEntry[] =
    R"({"chains":["direct-b","tarq"],"download":6331,"id":"76ce9d48-9e9d-4f5a-b7cc-1731636e78e6",)"
    R"("metadata":{"destinationIP":"","destinationPort":"443","dnsMode":"normal",)"
    R"("host":"a\u003cb\u0026.example.com","network":"tcp","processPath":"","sniffHost":"",)"
    R"("sourceIP":"192.168.1.200","sourcePort":"53260","type":"tun/tun-in"},"rule":"final",)"
    R"("rulePayload":"","start":"2024-10-13T09:19:45.971965079Z","upload":3374})";

std::string replyWith(int entries, const std::string& totals) {
  std::string reply = R"({"connections":[)";
  for (int i = 0; i < entries; ++i) {
    reply += std::string(i ? "," : "") + kEntry;
  }
  return reply + "]," + totals + "}\n";
}

class ClashTotalsTest : public ::testing::Test {
 protected:
  TrafficTotals totalsOf(const std::string& body) {
    server_.setConnectionsBody(body);
    return client_.totals();
  }

  ClashApiServer server_;
  ClashClient client_{server_.port(), ""};
};

TEST_F(ClashTotalsTest, ReadsTheTotalsAndConvertsWhatIsNotAnInteger) {
  const struct {
    std::string body;
    TrafficTotals expected;
  } cases[] = {
      {replyWith(2, R"("downloadTotal":987654321,"memory":1234,"uploadTotal":42)"),
       {42, 987654321}},
      // A large reply leaves nothing behind for the next.
      {replyWith(2000, R"("downloadTotal":2,"memory":1,"uploadTotal":1)"), {1, 2}},
      {R"({"uploadTotal":3})", {3, 0}},
      {R"({"uploadTotal":"150","downloadTotal":250})", {0, 250}},
      {R"({"uploadTotal":10.9,"downloadTotal":true})", {10, 1}},
      {R"({"uploadTotal":-5.7,"downloadTotal":false})", {-5, 0}},
      {R"({"uploadTotal":1e300,"downloadTotal":-1e300})", {kMax, kMin}},
      {R"({"uploadTotal":18446744073709551615,"downloadTotal":9223372036854775808})", {kMax, kMax}},
      {R"({"uploadTotal":9223372036854775807,"downloadTotal":-9223372036854775808})", {kMax, kMin}},
      {R"({"uploadTotal":null,"downloadTotal":{"uploadTotal":5}})", {0, 0}},
      {R"({"uploadTotal":[1],"downloadTotal":-0})", {0, 0}},
      {R"({"connections":[{"uploadTotal":9}],"downloadTotal":3})", {0, 3}},
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(totalsOf(body), expected) << body.substr(0, 80);
  }
}

// A top level that is no object is a bad reply; text that is no JSON fails
// with the parser's own error, unwrapped.
TEST_F(ClashTotalsTest, WhatIsNoJsonObjectFails) {
  try {
    totalsOf("[]");
    ADD_FAILURE() << "no error";
  } catch (const ClashError& error) {
    EXPECT_EQ(error.kind(), ClashError::Kind::badReply);
    EXPECT_EQ(error.errorDescription(), "clash api: unreadable reply");
  }
  for (const char* body :
       {"<html>busy</html>", "", "42", R"("uploadTotal")", R"({"uploadTotal":1} trailing)",
        // Broken deep inside the list that totals() otherwise skips.
        R"({"connections":[{"id":"a",,}],"downloadTotal":1,"uploadTotal":2})",
        R"({"connections":[{"id":tru}],"downloadTotal":1,"uploadTotal":2})"}) {
    EXPECT_THROW(totalsOf(body), simdjson::simdjson_error) << body;
  }
}

}  // namespace
}  // namespace tarq

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <limits>
#include <string>

#include "clash/clash_client.h"
#include "tests/support/fake_clash_server.h"

namespace tarq {
namespace {

using testing::FakeClashServer;
using testing::FakeResponse;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// One entry of the engine's list, escapes included.
constexpr char kEntry[] =
    R"({"chains":["direct-b","tarq"],"download":6331,"id":"76ce9d48-9e9d-4f5a-b7cc-1731636e78e6",)"
    R"("metadata":{"destinationIP":"","destinationPort":"443","dnsMode":"normal",)"
    R"("host":"a\u003cb\u0026.example.com","network":"tcp","processPath":"","sniffHost":"",)"
    R"("sourceIP":"192.168.1.200","sourcePort":"53260","type":"tun/tun-in"},"rule":"final",)"
    R"("rulePayload":"","start":"2024-10-13T09:19:45.971965079Z","upload":3374})";

class ClashTotalsTest : public ::testing::Test {
 protected:
  TrafficTotals totalsOf(const std::string& body) {
    server_.setConnectionsBody(body);
    return client_.totals();
  }

  FakeClashServer server_;
  ClashClient client_{server_.port(), ""};
};

TEST_F(ClashTotalsTest, ReadsTheEngineReply) {
  server_.setTotals(150, 250);
  EXPECT_EQ(client_.totals(), (TrafficTotals{150, 250}));

  const std::string reply = std::string(R"({"connections":[)") + kEntry + "," + kEntry +
                            R"(],"downloadTotal":987654321,"memory":1234,"uploadTotal":42})" + "\n";
  EXPECT_EQ(totalsOf(reply), (TrafficTotals{42, 987654321}));
}

TEST_F(ClashTotalsTest, ConvertsWhatIsNotAnIntegerAsDocumented) {
  const struct {
    const char* body;
    TrafficTotals expected;
  } cases[] = {
      {R"({"uploadTotal":"150","downloadTotal":250})", {0, 250}},
      {"{}", {0, 0}},
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
    EXPECT_EQ(totalsOf(body), expected) << body;
  }
}

TEST_F(ClashTotalsTest, ArrayIsAnUnreadableReply) {
  server_.setConnectionsBody("[]");
  try {
    client_.totals();
    FAIL() << "no error";
  } catch (const ClashError& error) {
    EXPECT_EQ(error.kind(), ClashError::Kind::badReply);
    EXPECT_EQ(error.errorDescription(), "clash api: unreadable reply");
  }
}

TEST_F(ClashTotalsTest, WhatIsNotJsonFailsWithTheParsersError) {
  const char* const bodies[] = {
      "<html>busy</html>",
      "",
      "42",
      R"("uploadTotal")",
      R"({"uploadTotal":1} trailing)",
      // Broken deep inside the list that totals() otherwise skips.
      R"({"connections":[{"id":"a",,}],"downloadTotal":1,"uploadTotal":2})",
      R"({"connections":[{"id":tru}],"downloadTotal":1,"uploadTotal":2})",
  };
  for (const char* body : bodies) {
    server_.setConnectionsBody(body);
    EXPECT_THROW(client_.totals(), simdjson::simdjson_error) << body;
  }
  server_.setConnectionsBody("<html>");
  try {
    client_.totals();
  } catch (const simdjson::simdjson_error& error) {
    EXPECT_STREQ(error.what(), simdjson::error_message(error.error()));
  }
}

TEST_F(ClashTotalsTest, RequestFailuresPassUnchanged) {
  server_.overrideResponse("GET", "/connections", FakeResponse{503, "{}"});
  try {
    client_.totals();
    FAIL() << "no error";
  } catch (const ClashError& error) {
    EXPECT_EQ(error.errorDescription(), "clash api: HTTP 503");
  }
}

TEST_F(ClashTotalsTest, LargeReplyLeavesNothingBehindForTheNext) {
  std::string large = R"({"connections":[)";
  for (int i = 0; i < 2000; ++i) {
    large += std::string(i ? "," : "") + kEntry;
  }
  large += R"(],"downloadTotal":2,"memory":1,"uploadTotal":1})";
  EXPECT_EQ(totalsOf(large), (TrafficTotals{1, 2}));
  EXPECT_EQ(totalsOf(R"({"uploadTotal":3})"), (TrafficTotals{3, 0}));
  EXPECT_EQ(totalsOf(large), (TrafficTotals{1, 2}));
}

}  // namespace
}  // namespace tarq

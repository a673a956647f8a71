// The /connections reader against what a hostile or very busy engine sends:
// numbers beyond 64 bits or beyond a double, and replies huge enough that the
// memory kept for them matters.
#include "clash/connections_totals.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <simdjson.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "clash-api-server/clash_api_server.h"
#include "clash/clash_client.h"
#include "tests/support/connections_body.h"

namespace tarq {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr char kHuge[] = "18446744073709551617";  // 2^64 + 1

std::string withHuge(const char* text) {
  std::string body = text;
  for (size_t at = body.find('H'); at != std::string::npos; at = body.find('H', at)) {
    body.replace(at, 1, kHuge);
  }
  return body;
}

TEST(ConnectionsTotalsTest, IntegersBeyond64BitsSaturateOrAreIgnored) {
  const struct {
    std::string body;
    TrafficTotals expected;
  } cases[] = {
      {withHuge(R"({"uploadTotal":H,"downloadTotal":-H})"), {kMax, kMin}},
      {withHuge(R"({"connections":[{"upload":H,"metadata":{"x":[-H]}}],)"
                R"("downloadTotal":2,"uploadTotal":1})"),
       {1, 2}},
      {withHuge(R"({"uploadTotal":7,"uploadTotal":true,"downloadTotal":"5","x":H})"), {1, 0}},
      {withHuge(R"({"connections":[{"uploadTotal":9,"n":H}],"downloadTotal":2.9})"), {0, 2}},
      {withHuge(R"({"uploadTotal":{"a":H},"downloadTotal":[H]})"), {0, 0}},
  };
  ConnectionsTotalsReader reader;
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(reader.read(body), expected) << body;
  }
}

// Beyond the range of a double no reader holds the number: the reply is not
// JSON, as for nlohmann's reader. So is everything the tolerant reading
// would otherwise let through.
TEST(ConnectionsTotalsTest, WhatNoReaderHoldsStillFails) {
  ConnectionsTotalsReader reader;
  const std::string refused[] = {
      R"({"uploadTotal":1e400,"downloadTotal":1})",
      R"({"connections":[{"upload":-1e400}],"downloadTotal":1})",
      withHuge(R"({"x":H,"y":tru})"),
      withHuge(R"({"x":H} {})"),
      withHuge(R"({"x":H})") + std::string("\0 {", 3),
      withHuge("H"),
      std::string(2000, '[') + kHuge + std::string(2000, ']'),
      "",  // a first reply that is empty: no buffer exists yet
  };
  for (const std::string& body : refused) {
    EXPECT_THROW(reader.read(body), simdjson::simdjson_error) << body.substr(0, 60);
  }
  EXPECT_THROW(reader.read(withHuge("[H]")), ClashError);
}

// Bytes the process holds from malloc (glibc's count; sanitizers' allocators
// are not counted, and there the check below holds trivially).
size_t heldBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A server on loopback that announces `length` bytes of reply and closes.
int announceAndClose(size_t length, std::thread& server) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), size);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  server = std::thread([listener, length] {
    const int peer = ::accept(listener, nullptr, nullptr);
    char request[4096];
    (void)!::read(peer, request, sizeof request);
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n{";
    (void)!::write(peer, head.data(), head.size());
    ::close(peer);
    ::close(listener);
  });
  return ntohs(address.sin_port);
}

TEST(ConnectionsTotalsTest, MemoryForAHugeReplyIsGivenBackWhenRepliesShrink) {
  ClashApiServer server;
  ClashClient client(server.port(), "");
  server.setConnectionsBody(testing::connectionsBody(10, 1, 2));
  client.totals();
  const size_t before = heldBytes();
  server.setConnectionsBody(testing::connectionsBody(20000, 3, 4));
  EXPECT_EQ(client.totals(), (TrafficTotals{3, 4}));
  server.setConnectionsBody(testing::connectionsBody(10, 5, 6));
  EXPECT_EQ(client.totals(), (TrafficTotals{5, 6}));
  EXPECT_LT(heldBytes(), before + (size_t{1} << 20));

  // A reply announced beyond the limit is refused before it is received.
  std::thread announcer;
  ClashClient refusing(announceAndClose(size_t{300} << 20, announcer), "");
  try {
    refusing.totals();
    ADD_FAILURE() << "no error";
  } catch (const ClashError& error) {
    EXPECT_STREQ(error.what(), "clash api: reply too large");
  }
  announcer.join();
}

}  // namespace
}  // namespace tarq

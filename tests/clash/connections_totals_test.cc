// The /connections reader against what an engine sends, through the client
// (one kept connection, the body read as it arrives) and given the whole
// body at once: numbers of every JSON type, beyond 64 bits or beyond a
// double, bodies that are no JSON object, and replies huge enough that the
// memory kept for them would matter.
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <string>
#include <thread>

#include "clash-api-server/clash_api_server.h"
#include "clash/clash_client.h"
#include "clash/totals_stream.h"
#include "tests/support/connections_body.h"

namespace tarq {
namespace {

using testing::connectionsBody;

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

class ConnectionsTotalsTest : public ::testing::Test {
 protected:
  TrafficTotals totalsOf(const std::string& body) {
    server_.setConnectionsBody(body);
    return client_.totals();
  }

  ClashApiServer server_;
  ClashClient client_{server_.port(), ""};
};

TEST_F(ConnectionsTotalsTest, ReadsTheTotalsConvertingSaturatingOrIgnoringWhatIsNoInteger) {
  const struct {
    std::string body;
    TrafficTotals expected;
  } cases[] = {
      {connectionsBody(2, 42, 987654321), {42, 987654321}},
      // A large reply leaves nothing behind for the next.
      {connectionsBody(2000, 1, 2), {1, 2}},
      {R"({"uploadTotal":3})", {3, 0}},
      {R"({"connections":[{"host":"a\u003cb\"}"}],"downloadTotal":1,"uploadTotal":2})", {2, 1}},
      {R"({"uploadTotal":"150","downloadTotal":250})", {0, 250}},
      {R"({"uploadTotal":10.9,"downloadTotal":true})", {10, 1}},
      {R"({"uploadTotal":-5.7,"downloadTotal":false})", {-5, 0}},
      {R"({"uploadTotal":1e300,"downloadTotal":-1e300})", {kMax, kMin}},
      {R"({"uploadTotal":18446744073709551615,"downloadTotal":9223372036854775808})", {kMax, kMax}},
      {R"({"uploadTotal":9223372036854775807,"downloadTotal":-9223372036854775808})", {kMax, kMin}},
      {R"({"uploadTotal":null,"downloadTotal":{"uploadTotal":5}})", {0, 0}},
      {R"({"uploadTotal":[1],"downloadTotal":-0})", {0, 0}},
      {R"({"connections":[{"uploadTotal":9}],"downloadTotal":3})", {0, 3}},
      {withHuge(R"({"uploadTotal":H,"downloadTotal":-H})"), {kMax, kMin}},
      {withHuge(R"({"connections":[{"upload":H,"metadata":{"x":[-H]}}],)"
                R"("downloadTotal":2,"uploadTotal":1})"),
       {1, 2}},
      {withHuge(R"({"uploadTotal":7,"uploadTotal":true,"downloadTotal":"5","x":H})"), {1, 0}},
      {withHuge(R"({"connections":[{"uploadTotal":9,"n":H}],"downloadTotal":2.9})"), {0, 2}},
      {withHuge(R"({"uploadTotal":{"a":H},"downloadTotal":[H]})"), {0, 0}},
  };
  for (const auto& [body, expected] : cases) {
    EXPECT_EQ(totalsOf(body), expected) << body.substr(0, 80);
    EXPECT_EQ(TotalsStream::read(body), expected) << body.substr(0, 80);
  }
}

// Text that is no JSON fails with the reader's own error, unwrapped; beyond
// the range of a double no reader holds the number, so such a reply is no
// JSON either. A top level that is an array is a bad reply.
TEST_F(ConnectionsTotalsTest, WhatIsNoJsonObjectFails) {
  // Some broken deep inside the list that the totals otherwise skip.
  const std::string refused[] = {
      "<html>busy</html>",
      "",
      "42",
      R"("uploadTotal")",
      R"({"uploadTotal":1} trailing)",
      R"({"connections":[{"id":"a",,}],"downloadTotal":1,"uploadTotal":2})",
      R"({"connections":[{"id":tru}],"downloadTotal":1,"uploadTotal":2})",
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
    EXPECT_THROW(totalsOf(body), TotalsStreamError) << body.substr(0, 60);
    EXPECT_THROW(TotalsStream::read(body), TotalsStreamError) << body.substr(0, 60);
  }
  for (const std::string& body : {std::string("[]"), withHuge("[H]")}) {
    try {
      totalsOf(body);
      ADD_FAILURE() << "no error for " << body;
    } catch (const ClashError& error) {
      EXPECT_EQ(error.kind(), ClashError::Kind::badReply);
      EXPECT_EQ(error.errorDescription(), "clash api: unreadable reply");
    }
    EXPECT_THROW(TotalsStream::read(body), ClashError);
  }
  // The error's text names what broke, in the words callers have matched.
  const struct {
    std::string body;
    const char* text;
  } described[] = {
      {"", "Empty: no JSON found"},
      {R"({"uploadTotal":1e400})", "Problem while parsing a number"},
      {"<html>busy</html>",
       "The JSON document has an improper structure: missing or superfluous commas, braces, "
       "missing keys, etc."},
      {R"({"x":tru})", "Problem while parsing an atom starting with the letter 't'"},
      {R"({"x":"\q"})", "Problem while parsing a string"},
      {"{\"x\":\"\xff\"}", "The input is not valid UTF-8"},
      {"{\"x\":\"\x01\"}",
       "Within strings, some characters must be escaped, we found unescaped characters"},
      {R"({"x":"open)", "A string is opened, but never closed."},
      {"42", "The JSON element does not have the requested type."},
      {"{} {}", "Unexpected trailing content in the JSON input."},
      {std::string(1025, '['),
       "The JSON document was too deep (too many nested objects and arrays)"},
  };
  for (const auto& [body, text] : described) {
    try {
      totalsOf(body);
      ADD_FAILURE() << "no error for " << body.substr(0, 60);
    } catch (const TotalsStreamError& error) {
      EXPECT_STREQ(error.what(), text) << body.substr(0, 60);
    }
  }
}

// Bytes the process holds from malloc (glibc's count; sanitizers' allocators
// are not counted, and there the check below holds trivially).
size_t heldBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A server on loopback that answers one request with `head` (the status
// line and headers) and then `body`, and closes.
int answerOnce(std::string head, std::string body, std::thread& server) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  socklen_t size = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  EXPECT_EQ(
      ::bind(listener, raw, size) | ::listen(listener, 1) | ::getsockname(listener, raw, &size), 0);
  server = std::thread([listener, reply = head + "\r\n" + body] {
    const int peer = ::accept(listener, nullptr, nullptr);
    char request[4096];
    (void)!::read(peer, request, sizeof request);
    for (size_t at = 0; at < reply.size();) {
      const ssize_t sent = ::send(peer, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
      if (sent <= 0) {
        break;  // the client has given up on the reply
      }
      at += static_cast<size_t>(sent);
    }
    ::close(peer);
    ::close(listener);
  });
  return ntohs(address.sin_port);
}

// `body` in chunks of 64 KiB, without a length, as the engine sends it.
std::string chunked(std::string_view body) {
  std::string encoded;
  for (size_t at = 0; at < body.size(); at += 65536) {
    const std::string_view piece = body.substr(at, 65536);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    encoded.append(size).append(piece).append("\r\n");
  }
  return encoded + "0\r\n\r\n";
}

// Every reply is read as it arrives, with or without its length: the client
// keeps nothing of it, small or big, a body that is no JSON fails with the
// reader's error, a failure status is no parse at all, and a reply announced
// beyond 256 MiB is refused.
TEST_F(ConnectionsTotalsTest, RepliesAreReadAsTheyArriveAndNothingOfThemIsKept) {
  const std::string medium = connectionsBody(1000, 5, 6);  // 450 kB
  const std::string big = connectionsBody(5000, 7, 8);     // 2.2 MB
  std::string broken = big;
  broken.replace(broken.find("\"rule\"", broken.size() - 600), 6, "\"rule\" tru");
  const std::string huge =
      withHuge(R"({"uploadTotal":H,"x":")") + std::string(3 << 20, 'x') + "\"}";
  // What the client holds after the call (the server may free its copy of
  // the reply meanwhile).
  ptrdiff_t kept = 0;
  const auto serve = [&kept](const std::string& body, bool withLength) {
    std::thread server;
    ClashClient client(answerOnce(withLength ? "HTTP/1.1 200 OK\r\nContent-Length: " +
                                                   std::to_string(body.size()) + "\r\n"
                                             : "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
                                  withLength ? body : chunked(body), server),
                       "");
    struct Join {
      std::thread& server;
      ~Join() { server.join(); }
    } join{server};
    const size_t before = heldBytes();
    const TrafficTotals totals = client.totals();
    kept = static_cast<ptrdiff_t>(heldBytes()) - static_cast<ptrdiff_t>(before);
    return totals;
  };
  for (const bool withLength : {true, false}) {
    SCOPED_TRACE(withLength ? "with a length" : "chunked");
    EXPECT_EQ(serve(medium, withLength), (TrafficTotals{5, 6}));
    EXPECT_LT(kept, 64 << 10);
    EXPECT_EQ(serve(big, withLength), (TrafficTotals{7, 8}));
    EXPECT_LT(kept, 64 << 10);
    EXPECT_EQ(serve(huge, withLength), (TrafficTotals{kMax, 0}));
    EXPECT_THROW(serve(broken, withLength), TotalsStreamError);
  }
  server_.setFault("GET", "/connections", ClashFault{500, broken});
  try {
    client_.totals();
    ADD_FAILURE() << "no error";
  } catch (const ClashError& error) {
    EXPECT_EQ(error.status(), 500);
  }

  // A reply announced beyond the limit is refused before it is received.
  std::thread announcer;
  ClashClient refusing(
      answerOnce("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size_t{300} << 20) + "\r\n",
                 "{", announcer),
      "");
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

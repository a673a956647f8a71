// Plain HTTP/1.1 over TCP on 127.0.0.1, byte for byte, for tests that look at
// what a client library would hide (framing, connections that stay idle).
#ifndef TARQ_TESTS_SUPPORT_LOOPBACK_HTTP_H_
#define TARQ_TESTS_SUPPORT_LOOPBACK_HTTP_H_

#include <string>

namespace tarq::testing {

// A TCP connection to 127.0.0.1:`port`, or -1.
int connectLoopback(int port);

// One request (its whole text, with "Connection: close" so that the server
// ends the exchange) and the whole answer as received, status line, headers
// and body as framed; "" when nothing came within 10 s.
std::string rawExchange(int port, const std::string& request);

// A raw answer taken apart: the head up to the blank line (lines separated
// by CRLF) and what follows it.
struct RawAnswer {
  std::string head;
  std::string body;

  // The value of header `name` (case-insensitive), or "".
  std::string header(const std::string& name) const;
};
RawAnswer splitAnswer(const std::string& answer);

// The body of a chunked answer decoded; "" if it is not well formed.
std::string unchunk(const std::string& body);

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_LOOPBACK_HTTP_H_

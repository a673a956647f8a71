#include "tests/support/loopback_http.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

namespace tarq::testing {

int connectLoopback(int port) {
  const int connection = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(connection);
    return -1;
  }
  return connection;
}

std::string rawExchange(int port, const std::string& request) {
  const int connection = connectLoopback(port);
  if (connection < 0) {
    return "";
  }
  timeval timeout{10, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string answer;
  if (::send(connection, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char buffer[65536];
    for (ssize_t got; (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
      answer.append(buffer, static_cast<size_t>(got));
    }
  }
  ::close(connection);
  return answer;
}

std::string RawAnswer::header(const std::string& name) const {
  for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    const size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end == std::string::npos ? end : end - at - 2);
    const size_t colon = line.find(':');
    if (colon == name.size() && ::strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

RawAnswer splitAnswer(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) {
    return {answer, ""};
  }
  return {answer.substr(0, end), answer.substr(end + 4)};
}

std::string unchunk(const std::string& body) {
  std::string decoded;
  for (size_t at = 0;;) {
    const size_t lineEnd = body.find("\r\n", at);
    if (lineEnd == std::string::npos) {
      return "";
    }
    char* sizeEnd = nullptr;
    const unsigned long size = std::strtoul(body.c_str() + at, &sizeEnd, 16);
    if (sizeEnd != body.c_str() + lineEnd) {
      return "";
    }
    at = lineEnd + 2;
    if (size == 0) {
      return body.compare(at, std::string::npos, "\r\n") == 0 ? decoded : "";
    }
    if (body.size() < at + size + 2 || body.compare(at + size, 2, "\r\n") != 0) {
      return "";
    }
    decoded.append(body, at, size);
    at += size + 2;
  }
}

}  // namespace tarq::testing

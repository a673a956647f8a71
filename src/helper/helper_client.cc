#include "helper/helper_client.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "helper/helper_error.h"
#include "support/bounded_json.h"

namespace tarq {

namespace {

using Json = nlohmann::json;

// Replies are flat objects; the bound only keeps a hostile daemon from
// making the reader's cost depend on its nesting.
constexpr int kMaxReplyDepth = 64;

// The daemon may encode a flag as a JSON Boolean or as the number 1 or 0.
bool decodeBool(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) {
    return false;
  }
  if (it->is_boolean()) {
    return it->get<bool>();
  }
  if (it->is_number()) {
    return it->get<double>() == 1.0;
  }
  return false;
}

// Any JSON number whose value is an integer that fits 64 bits: 12 and 12.0
// both give 12; 12.5, 1e300 or a string give 0.
int64_t decodePid(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) {
    return 0;
  }
  if (it->is_number_unsigned()) {
    auto value = it->get<uint64_t>();
    return value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? static_cast<int64_t>(value)
               : 0;
  }
  if (it->is_number_integer()) {
    return it->get<int64_t>();
  }
  if (it->is_number_float()) {
    // 2^63 is exactly representable; every double below it in magnitude that
    // has no fractional part converts without loss.
    constexpr double kLimit = 9223372036854775808.0;
    double value = it->get<double>();
    if (std::isfinite(value) && std::trunc(value) == value && value >= -kLimit && value < kLimit) {
      return static_cast<int64_t>(value);
    }
  }
  return 0;
}

std::string decodeString(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return std::string();
  }
  return it->get<std::string>();
}

// The reply must be an object (or, to be rejected as unreadable below, an
// array); a bare scalar at the top is refused the way the JSON reader refuses
// any text it cannot take, with its own exception type.
void rejectScalarTopLevel(const std::string& line, const Json& value) {
  if (value.is_object() || value.is_array()) {
    return;
  }
  std::size_t start = line.find_first_not_of(" \t\r\n");
  std::size_t byte = start == std::string::npos ? 1 : start + 1;
  throw Json::parse_error::create(
      101, byte,
      "syntax error while parsing value - the top-level value must be an object or an array, not " +
          std::string(value.type_name()),
      nullptr);
}

}  // namespace

HelperClient::HelperClient(std::unique_ptr<HelperTransport> transport)
    : transport_(std::move(transport)) {}

HelperReply HelperClient::send(const nlohmann::json& request) const {
  // Compact form escapes control characters inside strings, so the final line
  // feed is the only one in the request.
  std::string bytes = request.dump();
  bytes.push_back('\n');
  return decode(transport_->exchange(bytes));
}

HelperReply HelperClient::decode(const std::string& line) {
  // The whole line, NUL bytes included.
  Json value = parseBoundedJson(line, kMaxReplyDepth);
  rejectScalarTopLevel(line, value);
  if (!value.is_object()) {
    throw HelperError::io("unreadable reply");
  }
  HelperReply reply;
  reply.ok = decodeBool(value, "ok");
  reply.running = decodeBool(value, "running");
  reply.pid = decodePid(value, "pid");
  reply.error = decodeString(value, "error");
  reply.build = decodeString(value, "build");
  return reply;
}

}  // namespace tarq

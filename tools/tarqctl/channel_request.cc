#include "channel_request.h"

#include <stdexcept>

#include "json_values.h"
#include "support/bounded_json.h"

namespace tarq {
namespace {

using nlohmann::json;

Value argumentsOf(const json& line, const char* key) {
  auto found = line.find(key);
  return found == line.end() ? Value() : valueFromJson(*found);
}

}  // namespace

bool isBlankLine(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
}

ChannelRequest parseChannelRequest(const std::string& text) {
  json line;
  try {
    line = parseBoundedJson(text, kMaxChannelLineDepth);
  } catch (const json::parse_error& error) {
    throw std::invalid_argument(std::string("not JSON: ") + error.what());
  }
  if (!line.is_object()) {
    throw std::invalid_argument("expected a JSON object");
  }
  int kinds = static_cast<int>(line.contains("method")) +
              static_cast<int>(line.contains("listen")) + static_cast<int>(line.contains("cancel"));
  if (kinds != 1) {
    throw std::invalid_argument(
        R"(expected exactly one of "method" (with "id"), "listen" or "cancel")");
  }
  ChannelRequest request;
  if (line.contains("listen")) {
    request.kind = ChannelRequest::Kind::kListen;
    request.arguments = argumentsOf(line, "listen");
    return request;
  }
  if (line.contains("cancel")) {
    request.kind = ChannelRequest::Kind::kCancel;
    request.arguments = argumentsOf(line, "cancel");
    return request;
  }
  if (!line.contains("id")) {
    throw std::invalid_argument(R"(a call needs an "id")");
  }
  if (!line["method"].is_string()) {
    throw std::invalid_argument(R"("method" must be a string)");
  }
  request.id = line["id"];
  request.method = line["method"].get<std::string>();
  request.arguments = argumentsOf(line, "arguments");
  return request;
}

}  // namespace tarq

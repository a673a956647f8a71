// A hostile daemon's reply costs the reader no more than its limits allow: a
// NUL byte is part of the line (and so no JSON), and nesting is bounded.
#include <gtest/gtest.h>

#include <string>

#include "helper/helper_client.h"

namespace tarq {
namespace {

using nlohmann::json;

std::string nested(int levels, const std::string& inner = "1") {
  return R"({"ok":true,"x":)" + std::string(levels - 1, '[') + inner +
         std::string(levels - 1, ']') + "}";
}

TEST(HelperReplyBoundsTest, NulBytesAndDeepNestingAreParseErrors) {
  EXPECT_TRUE(HelperClient::decode(nested(64)).ok);
  const std::string refused[] = {
      std::string("{\"ok\":true}\0{\"more\":1}", 22),
      std::string("{\"ok\":true,\"error\":\"a\0b\"}", 26),
      nested(65),
      nested(100000),
  };
  for (const std::string& line : refused) {
    EXPECT_THROW(HelperClient::decode(line), json::parse_error) << line.substr(0, 40);
  }
  // Beyond the range of a double: nlohmann's own range error, not a value.
  EXPECT_THROW(HelperClient::decode(R"({"ok":true,"pid":1e400})"), json::out_of_range);
}

}  // namespace
}  // namespace tarq

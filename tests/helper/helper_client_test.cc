#include "helper/helper_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "helper/helper_error.h"

namespace tarq {
namespace {

using nlohmann::json;

struct FunctionTransport final : HelperTransport {
  explicit FunctionTransport(std::function<std::string(const std::string&)> function)
      : answer(std::move(function)) {}
  std::string exchange(const std::string& request) override { return answer(request); }
  std::function<std::string(const std::string&)> answer;
};

TEST(HelperReplyDecodingTest, TakesEachMemberOnlyWhenItConverts) {
  const std::pair<const char*, HelperReply> cases[] = {
      {R"({"ok":true})", {true, false, 0, "", ""}},
      {R"({"ok":1,"running":0,"pid":"42"})", {true, false, 0, "", ""}},
      {R"({"ok":1.0,"running":true,"pid":12.0})", {true, true, 12, "", ""}},
      {R"({"ok":"true","running":2,"pid":12.5})", {false, false, 0, "", ""}},
      {R"({"ok":null,"running":[1],"pid":null,"error":null,"build":7})", {}},
      {R"({"pid":-7,"build":"b-9","extra":{"x":1}})", {false, false, -7, "", "b-9"}},
      {R"({"pid":9223372036854775807})", {false, false, INT64_MAX, "", ""}},
      {R"({"pid":9223372036854775808})", {}},
      {R"({"pid":1e300})", {}},
      {R"({"ok":false,"error":"sing-box exited: bad config"})",
       {false, false, 0, "sing-box exited: bad config", ""}},
      {"  {\"running\":true}\r", {false, true, 0, "", ""}},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(HelperClient::decode(line), expected) << line;
  }
}

// A reply nested `levels` deep.
std::string nested(int levels) {
  return R"({"ok":true,"x":)" + std::string(levels - 1, '[') + "1" + std::string(levels - 1, ']') +
         "}";
}

// A hostile daemon's reply costs the reader no more than its limits allow: a
// NUL byte is part of the line (and so no JSON), and nesting is bounded.
TEST(HelperReplyDecodingTest, ArrayIsAnUnreadableReplyAndOtherTextAParseError) {
  for (const std::string& line : {std::string("[]"), std::string(R"([{"ok":true}])")}) {
    try {
      HelperClient::decode(line);
      ADD_FAILURE() << "decoded " << line.substr(0, 20);
    } catch (const HelperError& error) {
      EXPECT_EQ(error.kind(), HelperError::Kind::io);
      EXPECT_EQ(error.errorDescription(), "helper socket: unreadable reply");
    }
  }
  EXPECT_TRUE(HelperClient::decode(nested(64)).ok);
  for (const char* line : {"", "   ", "42", "\"ok\"", "null", "{\"ok\":true", "{} {}", "ok"}) {
    EXPECT_THROW(HelperClient::decode(line), json::parse_error) << line;
  }
  for (const std::string& line :
       {std::string("{\"ok\":true}\0{\"more\":1}", 22),
        std::string("{\"ok\":true,\"error\":\"a\0b\"}", 26), nested(65), nested(100000)}) {
    EXPECT_THROW(HelperClient::decode(line), json::parse_error) << line.substr(0, 40);
  }
  // Beyond the range of a double: nlohmann's own range error, not a value.
  EXPECT_THROW(HelperClient::decode(R"({"ok":true,"pid":1e400})"), json::out_of_range);
}

TEST(HelperClientTest, SendsOneCompactLineAndReturnsTheDecodedReply) {
  std::vector<std::string> sent;
  HelperClient client(std::make_unique<FunctionTransport>([&sent](const std::string& request) {
    sent.push_back(request);
    return R"({"ok":false,"error":"busy","running":true,"pid":31,"build":"2.1"})";
  }));
  const json request = {{"op", "start"}, {"config_path", "/Ana María/c\n\"x\".json"}};
  EXPECT_EQ(client.send(request), (HelperReply{false, true, 31, "busy", "2.1"}));
  EXPECT_THROW(client.send({{"op", "start"}, {"selected", "\xff\xfe"}}), json::type_error);
  ASSERT_EQ(sent.size(), 1u);  // nothing sent for a request that cannot be serialised
  EXPECT_EQ(sent[0], request.dump() + "\n");
  EXPECT_EQ(std::count(sent[0].begin(), sent[0].end(), '\n'), 1);
}

}  // namespace
}  // namespace tarq

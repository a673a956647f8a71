#include "helper/helper_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "helper/helper_error.h"

namespace tarq {
namespace {

using nlohmann::json;

// Records the request bytes and answers with a fixed line.
class RecordingTransport final : public HelperTransport {
 public:
  RecordingTransport(std::shared_ptr<std::vector<std::string>> sent, std::string reply)
      : sent_(std::move(sent)), reply_(std::move(reply)) {}
  std::string exchange(const std::string& request) override {
    sent_->push_back(request);
    return reply_;
  }

 private:
  std::shared_ptr<std::vector<std::string>> sent_;
  std::string reply_;
};

HelperReply reply(bool ok, bool running, int64_t pid, std::string error, std::string build) {
  return HelperReply{ok, running, pid, std::move(error), std::move(build)};
}

TEST(HelperReplyDecodingTest, TakesEachMemberOnlyWhenItConverts) {
  struct Case {
    const char* line;
    HelperReply expected;
  };
  const Case cases[] = {
      {R"({"ok":true})", reply(true, false, 0, "", "")},
      {R"({"ok":1,"running":0,"pid":"42"})", reply(true, false, 0, "", "")},
      {R"({"ok":1.0,"running":true,"pid":12.0})", reply(true, true, 12, "", "")},
      {R"({"ok":"true","running":2,"pid":12.5})", reply(false, false, 0, "", "")},
      {R"({"ok":null,"running":[1],"pid":null,"error":null,"build":7})",
       reply(false, false, 0, "", "")},
      {R"({"pid":-7,"build":"b-9","extra":{"x":1}})", reply(false, false, -7, "", "b-9")},
      {R"({"pid":9223372036854775807})", reply(false, false, INT64_MAX, "", "")},
      {R"({"pid":9223372036854775808})", reply(false, false, 0, "", "")},
      {R"({"pid":1e300})", reply(false, false, 0, "", "")},
      {R"({"ok":false,"error":"sing-box exited: bad config"})",
       reply(false, false, 0, "sing-box exited: bad config", "")},
      {"  {\"running\":true}\r", reply(false, true, 0, "", "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(HelperClient::decode(c.line), c.expected);
  }
}

TEST(HelperReplyDecodingTest, ArrayIsAnUnreadableReply) {
  const std::string deep = std::string(30000, '[') + std::string(30000, ']');
  for (const std::string& line : {std::string("[]"), std::string(R"([{"ok":true}])"), deep}) {
    try {
      HelperClient::decode(line);
      ADD_FAILURE() << "decoded " << line.substr(0, 20);
    } catch (const HelperError& error) {
      EXPECT_EQ(error.kind(), HelperError::Kind::io);
      EXPECT_EQ(error.errorDescription(), "helper socket: unreadable reply");
    }
  }
}

TEST(HelperReplyDecodingTest, TextThatIsNotAnObjectOrArrayFailsWithTheJsonReadersError) {
  for (const char* line :
       {"", "   ", "42", "\"ok\"", "true", "null", "{\"ok\":true", "{} {}", "ok"}) {
    SCOPED_TRACE(line);
    try {
      HelperClient::decode(line);
      ADD_FAILURE() << "decoded";
    } catch (const json::parse_error& error) {
      EXPECT_NE(std::string(error.what()), "");
    }
  }
  try {
    HelperClient::decode(" 42");
  } catch (const json::parse_error& error) {
    EXPECT_EQ(error.byte, 2u);
    EXPECT_NE(std::string(error.what()).find("must be an object or an array"), std::string::npos);
  }
}

TEST(HelperClientTest, SendsOneCompactLineAndReturnsTheDecodedReply) {
  auto sent = std::make_shared<std::vector<std::string>>();
  HelperClient client(std::make_unique<RecordingTransport>(
      sent, R"({"ok":false,"error":"busy","running":true,"pid":31,"build":"2.1"})"));

  const std::string path = "/Users/Ana María/Library/Application Support/Orvek/config\n\"x\".json";
  HelperReply result =
      client.send({{"op", "start"}, {"config_path", path}, {"selected", "проxy 1"}});

  EXPECT_EQ(result, reply(false, true, 31, "busy", "2.1"));
  ASSERT_EQ(sent->size(), 1u);
  const std::string& line = sent->front();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_EQ(line.find(": "), std::string::npos);
  EXPECT_EQ(line.find(", "), std::string::npos);
  json decoded = json::parse(line);
  EXPECT_EQ(decoded, (json{{"op", "start"}, {"config_path", path}, {"selected", "проxy 1"}}));
}

TEST(HelperClientTest, SerialiserErrorPropagatesAndNothingIsSent) {
  auto sent = std::make_shared<std::vector<std::string>>();
  HelperClient client(std::make_unique<RecordingTransport>(sent, "{}"));
  EXPECT_THROW(client.send({{"op", "start"}, {"selected", "\xff\xfe"}}), json::type_error);
  EXPECT_TRUE(sent->empty());
}

}  // namespace
}  // namespace tarq

// `tarqctl channel` speaks the two channels as JSON lines: calls, answers,
// events and protocol errors, in the order the host's main thread sees them.
// A line nested far deeper than any real one gets its protocol error, and
// the calls around it their answers.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/tool_process.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

std::string deepList(int levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(TarqctlChannelTest, AnswersEveryLineInOrderWithoutAHelper) {
  TempDir dir;
  ToolProcess channel({TARQCTL_PATH, "--socket", dir.file("none.sock"), "channel"});
  const std::string deep = deepList(20000);
  channel.writeLine(R"({"id": 1, "method": "select", "arguments": )" + deep + "}");
  channel.writeLine(R"({"id": )" + deep + R"(, "method": "stop"})");
  channel.writeLine(R"({"listen": )" + deep + "}");
  // 127 levels inside the line's own object: the deepest line accepted.
  channel.writeLine(R"({"id": 0, "method": "select", "arguments": )" + deepList(127) + "}");
  channel.writeLine(R"(not json
[1, 2]
{"method": "status"}

{"id": 1.5, "method": "Status"}
{"id": "two", "method": "start", "arguments": {"selected": "x"}}
{"id": 3, "method": "select", "arguments": {"tag": 7}}
{"listen": null}
{"id": {"n": 4}, "method": "stop"}
{"id": [5], "method": "helperStatus", "arguments": {"ignored": true}}
{"id": 6, "method": "start", "arguments": {"config": "{}"}}
{"id": 7, "method": "status"})");
  std::vector<json> lines;
  while (lines.size() < 16) {
    auto line = channel.readLine();
    ASSERT_TRUE(line) << channel.errorText();
    lines.push_back(json::parse(*line));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(lines[i]["protocolError"].get<std::string>().find("nested deeper than 128 levels"),
              std::string::npos)
        << lines[i];
  }
  EXPECT_EQ(lines[3]["error"]["code"], "bad_args");
  lines.erase(lines.begin(), lines.begin() + 4);
  EXPECT_EQ(lines[0]["protocolError"].get<std::string>().rfind("not JSON: ", 0), 0u);
  EXPECT_EQ(lines[1], json({{"protocolError", "expected a JSON object"}}));
  EXPECT_EQ(lines[2], json({{"protocolError", R"(a call needs an "id")"}}));
  EXPECT_EQ(lines[3], json({{"id", 1.5}, {"notImplemented", true}}));
  EXPECT_EQ(lines[4], json::parse(R"({"id": "two", "error": {"code": "bad_args",
                                 "message": "start requires a config", "details": null}})"));
  EXPECT_EQ(lines[5]["error"]["message"], "select requires a tag");
  EXPECT_EQ(lines[6], json({{"event", {{"type", "status"}, {"state", "disconnected"}}}}));
  EXPECT_EQ(lines[7], json({{"id", {{"n", 4}}}, {"result", nullptr}}));
  EXPECT_EQ(lines[8], json({{"id", {5}}, {"result", nullptr}}));
  EXPECT_EQ(lines[9], json::parse(R"({"event": {"type": "status", "state": "error",
                                 "error": "the TARQ helper is not installed"}})"));
  EXPECT_EQ(lines[10]["error"]["code"], "helper_missing");
  EXPECT_EQ(lines[11], json::parse(R"({"id": 7, "result": {"state": "error",
                                  "error": "the TARQ helper is not installed"}})"));

  // Once cancelled, the "disconnected" of a stop reaches nobody.
  channel.writeLine(R"({"cancel": null})");
  channel.writeLine(R"({"id": 8, "method": "stop"})");
  EXPECT_EQ(json::parse(channel.readLine().value_or("null")),
            json({{"id", 8}, {"result", nullptr}}));
  // The end of input still waits for a call in flight.
  channel.writeLine(R"({"id": 9, "method": "status"})");
  channel.closeInput();
  EXPECT_EQ(json::parse(channel.readLine().value_or("null"))["id"], 9);
  EXPECT_EQ(channel.waitForExit(), 0);
}

// A sanitizer's own memory would drown a difference in peak memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPeaksComparable = false;
#else
constexpr bool kPeaksComparable = true;
#endif

// Kilobytes of the process's resident high-water mark, or -1.
long peakResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// A line beyond 32 MiB (a well-formed call, but the helper takes no
// configuration above 16 MiB) is refused without being held or parsed, and
// the next line is answered.
TEST(TarqctlChannelTest, ALineBeyondTheLimitIsAProtocolErrorAndTheNextIsAnswered) {
  TempDir dir;
  ToolProcess channel({TARQCTL_PATH, "--socket", dir.file("none.sock"), "channel"});
  channel.writeLine(R"({"id": 1, "method": "start", "arguments": {"config": ")" +
                    std::string(40 << 20, 'c') + R"("}})");
  channel.writeLine(R"({"id": 2, "method": "status"})");
  EXPECT_EQ(json::parse(channel.readLine().value_or("null")),
            json({{"protocolError", "line longer than 33554432 bytes"}}));
  EXPECT_EQ(json::parse(channel.readLine().value_or("null"))["id"], 2);
  // The limit, once, and what the process had before it (about 45 MB in
  // all); holding and parsing the line took 187 MB.
  if (kPeaksComparable) {
    EXPECT_LT(peakResidentKilobytes(channel.pid()), 100 * 1024);
  }
  channel.closeInput();
  EXPECT_EQ(channel.waitForExit(), 0);
}

TEST(TarqctlCommandLineTest, UsageErrorsExitWithTwoAndHelpWithZero) {
  TempDir dir;
  EXPECT_EQ(runTool({TARQCTL_PATH}).status, 2);
  EXPECT_EQ(runTool({TARQCTL_PATH, "launch"}).status, 2);
  EXPECT_EQ(runTool({TARQCTL_PATH, "select"}).status, 2);
  EXPECT_EQ(runTool({TARQCTL_PATH, "start", dir.file("missing.json")}).status, 2);
  writeFile(dir.file("no-api.json"), "{}");
  ToolRun noApi = runTool({TARQCTL_PATH, "start", dir.file("no-api.json")});
  EXPECT_EQ(noApi.status, 2);
  EXPECT_NE(noApi.err.find("--clash-port"), std::string::npos) << noApi.err;
  ToolRun help = runTool({TARQCTL_PATH, "start", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--follow"), std::string::npos);
}

}  // namespace
}  // namespace tarq::testing

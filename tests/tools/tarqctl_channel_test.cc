// `tarqctl channel` speaks the two channels as JSON lines: calls, answers,
// events and protocol errors, in the order the host's main thread sees them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

std::vector<json> outputLines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(json::parse(line));
  }
  return lines;
}

TEST(TarqctlChannelTest, AnswersEveryLineInOrderWithoutAHelper) {
  TempDir dir;
  std::string input = R"(not json
[1, 2]
{"method": "status"}

{"id": 1.5, "method": "Status"}
{"id": "two", "method": "start", "arguments": {"selected": "x"}}
{"id": 3, "method": "select", "arguments": {"tag": 7}}
{"listen": null}
{"id": {"n": 4}, "method": "stop"}
{"id": [5], "method": "helperStatus", "arguments": {"ignored": true}}
{"id": 6, "method": "start", "arguments": {"config": "{}"}}
{"cancel": null}
{"id": 7, "method": "status"})";
  ToolRun run = runTool({TARQCTL_PATH, "--socket", dir.file("none.sock"), "channel"}, input);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<json> lines = outputLines(run.out);
  ASSERT_EQ(lines.size(), 12u) << run.out;

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
  // After the cancel no event is delivered, and the state stays "error".
  EXPECT_EQ(lines[11], json::parse(R"({"id": 7, "result": {"state": "error",
                                  "error": "the TARQ helper is not installed"}})"));
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

// Input nested far deeper than any real one is refused, with the tool still
// standing: a `tarqctl channel` line gets its protocol error and the calls
// around it their answers; the stand-in engine refuses such a configuration.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

std::string deepList(int levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(DeepInputTest, ChannelAnswersAroundLinesTooDeep) {
  TempDir dir;
  ToolProcess channel({TARQCTL_PATH, "--socket", dir.file("none.sock"), "channel"});
  const std::string deep = deepList(20000);
  // Refusals and argument errors are answered on the main thread at once, in
  // input order; the stop only after the work queue has run it.
  channel.writeLine(R"({"id": 1, "method": "select", "arguments": )" + deep + "}");
  channel.writeLine(R"({"id": )" + deep + R"(, "method": "stop"})");
  channel.writeLine(R"({"listen": )" + deep + "}");
  // 127 levels inside the line's own object: the deepest line accepted.
  channel.writeLine(R"({"id": 2, "method": "select", "arguments": )" + deepList(127) + "}");
  channel.writeLine(R"({"id": 3, "method": "stop"})");
  channel.closeInput();
  std::vector<json> lines;
  while (auto line = channel.readLine()) {
    lines.push_back(json::parse(*line));
  }
  ASSERT_EQ(lines.size(), 5u) << channel.errorText();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(lines[i]["protocolError"].get<std::string>().find("nested deeper than 128 levels"),
              std::string::npos)
        << lines[i];
  }
  EXPECT_EQ(lines[3]["error"]["code"], "bad_args");
  EXPECT_EQ(lines[4], json({{"id", 3}, {"result", nullptr}}));
  EXPECT_EQ(channel.waitForExit(), 0);
}

TEST(DeepInputTest, SimEngineRefusesADeepConfiguration) {
  TempDir dir;
  writeFile(dir.file("deep.json"), R"({"route": )" + deepList(100000) + "}");
  ToolRun run = runTool({TARQ_SIMENGINE_PATH, "run", "-c", dir.file("deep.json")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("nested deeper than 64 levels"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tarq::testing

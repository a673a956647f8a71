#include "support/system_log.h"

#include <gtest/gtest.h>

namespace tarq {
namespace {

TEST(SystemLogTest, TeeWritesWholeLinesToStandardErrorAndPassesThemOn) {
  auto memory = std::make_shared<MemoryLog>();
  TeeToStderrLog tee(memory);
  ::testing::internal::CaptureStderr();
  tee.write("tarq: user config not removed: gone");
  tee.write("tarq: %s %n stays text");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "tarq: user config not removed: gone\ntarq: %s %n stays text\n");
  EXPECT_EQ(memory->lines(), (std::vector<std::string>{"tarq: user config not removed: gone",
                                                       "tarq: %s %n stays text"}));
  SystemLog::system()->write("tarq: %s %n stays text");  // syslog must not format it
}

}  // namespace
}  // namespace tarq

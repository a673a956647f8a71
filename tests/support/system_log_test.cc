#include "support/system_log.h"

#include <gtest/gtest.h>

namespace tarq {
namespace {

TEST(SystemLogTest, LinesAreWrittenAsTextNeverAsFormats) {
  auto memory = std::make_shared<MemoryLog>();
  ::testing::internal::CaptureStderr();
  TeeToStderrLog(memory).write("tarq: %s %n stays text");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarq: %s %n stays text\n");
  EXPECT_EQ(memory->lines(), std::vector<std::string>{"tarq: %s %n stays text"});
  SystemLog::system()->write("tarq: %s %n stays text");  // syslog would crash on %n
}

}  // namespace
}  // namespace tarq

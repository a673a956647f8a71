#include "support/system_log.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarq {
namespace {

TEST(SystemLogTest, MemoryLogKeepsLinesFromEveryThreadWhole) {
  auto memory = std::make_shared<MemoryLog>();
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&] {
      for (int j = 0; j < 50; ++j) {
        memory->write("tarq: line");
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  auto lines = memory->lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "tarq: line");
}

TEST(SystemLogTest, TeeWritesToStandardErrorAndPassesEachLineOn) {
  auto memory = std::make_shared<MemoryLog>();
  TeeToStderrLog tee(memory);
  ::testing::internal::CaptureStderr();
  tee.write("tarq: user config not removed: gone");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tarq: user config not removed: gone\n");
  EXPECT_EQ(memory->lines(), std::vector<std::string>{"tarq: user config not removed: gone"});
}

TEST(SystemLogTest, SyslogAcceptsLinesWithFormatCharacters) {
  SystemLog::system()->write("tarq: test line with %s and %n, not a format");
}

}  // namespace
}  // namespace tarq

// tarqctl's line reader: lines up to its limit whole, however they arrive;
// a longer one reported and read past without being kept.
#include "tools/tarqctl/line_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace tarq {
namespace {

using Status = LineReader::Status;

TEST(LineReaderTest, LinesUpToTheLimitAndLongerOnesSkippedWithoutBeingKept) {
  std::istringstream input("short\n\nexactly8\nninechars\n" + std::string(1'000'000, 'x') +
                           "\nafter\nlast");
  LineReader lines(input, 8);
  std::string line;
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, "short");
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, "");
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, "exactly8");
  EXPECT_EQ(lines.next(line), Status::kTooLong);
  EXPECT_EQ(line, "");
  EXPECT_EQ(lines.next(line), Status::kTooLong);
  EXPECT_LT(line.capacity(), 1000u);  // nothing of the megabyte is held
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, "after");
  EXPECT_EQ(lines.next(line), Status::kLine);  // the last line needs no line feed
  EXPECT_EQ(line, "last");
  EXPECT_EQ(lines.next(line), Status::kEnd);
  EXPECT_EQ(lines.next(line), Status::kEnd);

  std::istringstream tooLongAtTheEnd("ok\n123456789");
  LineReader ending(tooLongAtTheEnd, 8);
  EXPECT_EQ(ending.next(line), Status::kLine);
  EXPECT_EQ(ending.next(line), Status::kTooLong);
  EXPECT_EQ(ending.next(line), Status::kEnd);

  std::istringstream empty("");
  EXPECT_EQ(LineReader(empty, 8).next(line), Status::kEnd);
}

// Lines longer than the reader's pieces (8 KiB) arrive whole, at the limit
// too; one byte more is too long.
TEST(LineReaderTest, LongLinesAreReadAcrossPieces) {
  const size_t limit = 200'000;
  std::string text;
  for (size_t i = 0; i < limit; ++i) {
    text.push_back(static_cast<char>('a' + i % 26));
  }
  std::istringstream input(text + "\n" + text + "z\n" + text.substr(0, 70'000) + "\n");
  LineReader lines(input, limit);
  std::string line;
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, text);
  EXPECT_EQ(lines.next(line), Status::kTooLong);
  EXPECT_EQ(lines.next(line), Status::kLine);
  EXPECT_EQ(line, text.substr(0, 70'000));
  EXPECT_EQ(lines.next(line), Status::kEnd);
}

}  // namespace
}  // namespace tarq

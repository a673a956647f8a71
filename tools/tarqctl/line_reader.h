// The lines of an input stream, each of bounded length. A longer line is
// reported as such and read on to its end without being kept, so that a
// line of any size costs at most the bound in memory.
//
// Thread safety: none; one reader per stream.
#ifndef TARQ_TOOLS_TARQCTL_LINE_READER_H_
#define TARQ_TOOLS_TARQCTL_LINE_READER_H_

#include <array>
#include <cstddef>
#include <istream>
#include <string>

namespace tarq {

class LineReader {
 public:
  enum class Status { kLine, kTooLong, kEnd };

  // Lines of at most `limit` bytes, the line feed not counted.
  LineReader(std::istream& input, size_t limit);

  // The next line, without its line feed (a last line may lack one), into
  // `line`: kLine. kTooLong when it is longer than the limit; it is then
  // read to its end and `line` left empty. kEnd when the input has ended.
  // Blocks until the line's end has arrived.
  Status next(std::string& line);

  size_t limit() const { return limit_; }

 private:
  std::istream& input_;
  const size_t limit_;
  std::array<char, 8192> piece_;  // not initialised: only what is read is used
};

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_LINE_READER_H_

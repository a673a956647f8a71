#include "line_reader.h"

namespace tarq {
namespace {

// A line buffer larger than this is given back before the next line, so
// that one huge line is not paid for as long as the reader lives.
constexpr size_t kKeptCapacity = size_t{1} << 20;

}  // namespace

LineReader::LineReader(std::istream& input, size_t limit) : input_(input), limit_(limit) {}

LineReader::Status LineReader::next(std::string& line) {
  if (line.capacity() > kKeptCapacity) {
    line = std::string();
  }
  line.clear();
  bool started = false;  // a byte of the line, or its line feed, was read
  bool tooLong = false;
  for (;;) {
    // Up to a piece's worth, stopping before a line feed, which stays.
    input_.get(piece_.data(), static_cast<std::streamsize>(piece_.size()), '\n');
    const auto count = static_cast<size_t>(input_.gcount());
    started = started || count > 0;
    if (!tooLong && count > limit_ - line.size()) {
      tooLong = true;
      line = std::string();
    }
    if (!tooLong) {
      line.append(piece_.data(), count);
    }
    if (input_.eof()) {
      return !started ? Status::kEnd : tooLong ? Status::kTooLong : Status::kLine;
    }
    if (input_.fail()) {
      input_.clear();  // nothing read: a line feed is next
    }
    if (input_.peek() == '\n') {
      input_.ignore();
      return tooLong ? Status::kTooLong : Status::kLine;
    }
  }
}

}  // namespace tarq

// The error of a GET /connections reply that is no JSON text, as TotalsStream
// finds it: one kind per way the text breaks, each with a fixed description
// such as "Problem while parsing a number". The descriptions are the ones
// simdjson gave the same errors when it read these replies, kept word for
// word so that no text a caller may match has changed.
#ifndef TARQ_CLASH_TOTALS_STREAM_ERROR_H_
#define TARQ_CLASH_TOTALS_STREAM_ERROR_H_

#include <cstdint>
#include <exception>

namespace tarq {

class TotalsStreamError : public std::exception {
 public:
  enum class Kind : uint8_t {
    empty,             // no value at all
    structure,         // a misplaced or missing comma, colon, bracket or key
    depth,             // nested deeper than TotalsStream::kMaxDepth
    string,            // a bad escape or a lone surrogate
    trueLiteral,       // "true" misspelt
    falseLiteral,      // "false" misspelt
    nullLiteral,       // "null" misspelt
    number,            // a malformed number, or one beyond the range of a double
    utf8,              // bytes that are no UTF-8
    unclosedString,    // the text ends inside a string
    unescapedChars,    // a control character inside a string
    notObjectOrArray,  // a bare scalar at the top
    trailingContent,   // more after the top-level value
  };

  explicit TotalsStreamError(Kind kind) noexcept : kind_(kind) {}

  Kind kind() const noexcept { return kind_; }
  // The error's only text.
  const char* what() const noexcept override;

 private:
  Kind kind_;
};

}  // namespace tarq

#endif  // TARQ_CLASH_TOTALS_STREAM_ERROR_H_

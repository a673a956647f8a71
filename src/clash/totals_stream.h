// The traffic totals of a GET /connections reply of the Clash API, read as
// its bytes arrive: fed in pieces of any size, as the transfer hands them
// over, and holding none of them. The reply grows with every open connection
// (about 450 bytes each, megabytes with thousands) and comes once a second;
// read this way, a reply of hundreds of megabytes costs a few hundred bytes
// of state (one bit per level of nesting, at most 800 digits of one number),
// and its parse runs while the rest of the reply is still in transit.
//
// It validates the whole body, as a platform JSON parser would: the JSON
// grammar, UTF-8, escapes and surrogate pairs, unescaped control characters,
// numbers beyond the range of a double, nesting beyond 1,024 levels. What it
// accepts and the totals it reads are fuzzed against nlohmann's reading.
// Neither nlohmann nor the other parsers packaged for both platforms read one
// document from pieces: hence a parser of our own, kept to validation and
// the two totals.
//
// Thread safety: none; one stream per reply, on one thread.
#ifndef TARQ_CLASH_TOTALS_STREAM_H_
#define TARQ_CLASH_TOTALS_STREAM_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clash/totals_stream_error.h"
#include "clash/traffic_totals.h"

namespace tarq {

class TotalsStream {
 public:
  // Levels of nesting accepted.
  static constexpr size_t kMaxDepth = 1024;

  TotalsStream();
  ~TotalsStream();
  TotalsStream(const TotalsStream&) = delete;
  TotalsStream& operator=(const TotalsStream&) = delete;

  // A whole body at once: a stream fed `body` and finished.
  static TrafficTotals read(std::string_view body);

  // Reads the next bytes of the body. Throws TotalsStreamError at the first
  // byte that makes the body no JSON; every later call throws the same.
  void feed(std::string_view bytes);

  // The body has ended: "uploadTotal" and "downloadTotal" of its top-level
  // object, each a JSON number taken as a signed 64-bit integer: fractions
  // truncated toward zero, values beyond the range saturated (to INT64_MAX
  // or INT64_MIN), true and false read as 1 and 0, any other value or a
  // missing key as 0; a repeated key: the last one wins. An integer beyond
  // 64 bits elsewhere is read like any number. Throws TotalsStreamError when
  // the body is no JSON: empty, incomplete, a bare scalar at the top, nested
  // deeper than kMaxDepth, starting with a UTF-8 byte order mark (sing-box
  // sends none), holding a NUL byte, or holding a number beyond the range of
  // a double such as 1e400 ("Problem while parsing a number"). Throws
  // ClashError::badReply() when the top level is an array.
  TrafficTotals finish();

 private:
  enum class Mode : uint8_t {
    kValue,
    kFirstValueOrEnd,  // after '['
    kFirstKeyOrEnd,    // after '{'
    kKey,              // after ',' in an object
    kColon,
    kCommaOrEnd,
    kDone,  // the top-level value is complete
    // Inside a token, from here on.
    kString,
    kNumber,
    kLiteral,
  };
  enum class StringPart : uint8_t { kText, kEscape, kHex, kLowBackslash, kLowU, kUtf8 };
  enum class NumberPart : uint8_t {
    kSign,
    kZero,
    kInteger,
    kPoint,
    kFraction,
    kExponentMark,
    kExponentSign,
    kExponent,
  };
  enum class Top : uint8_t { kNone, kObject, kArray, kScalar };

  [[noreturn]] void fail(TotalsStreamError::Kind kind);

  const char* readStructure(const char* at, const char* end);
  const char* skipSeparator(const char* at, const char* end);
  // Fails unless the byte just read may come here.
  void expect(bool allowed);
  void startValue(char first);
  void open(bool object);
  void close(char bracket);
  void endValue() { mode_ = depth_ == 0 ? Mode::kDone : Mode::kCommaOrEnd; }

  void startString(bool key);
  const char* readString(const char* at, const char* end);
  bool endsPlainly(const char*& at, const char* end);
  void startUtf8(unsigned char lead);
  void endEscape(char escaped);
  void endHexUnit();
  void capture(uint32_t codePoint);
  void endString();

  void startNumber(char first);
  const char* readNumber(const char* at, const char* end);
  void addDigit(char digit, bool fraction);
  void addIntegerDigits(const char* run, const char* end);
  void addExponentDigit(char digit);
  void endNumber();
  int64_t decimalExponent() const;
  double numberAsDouble();

  void startLiteral(const char* text);
  const char* readLiteral(const char* at, const char* end);

  Mode mode_ = Mode::kValue;
  Top top_ = Top::kNone;
  std::optional<TotalsStreamError::Kind> error_;
  size_t depth_ = 0;
  std::bitset<kMaxDepth> objects_;  // bit i: the container at level i is an object
  TrafficTotals totals_;
  int64_t* keyTarget_ = nullptr;    // the total that the last top-level key names
  int64_t* valueTarget_ = nullptr;  // the total that the scalar being read sets

  // The string being read.
  bool key_ = false;
  StringPart stringPart_ = StringPart::kText;
  bool lowSurrogate_ = false;  // the \u unit being read must be a low surrogate
  uint8_t hexDigits_ = 0;
  uint32_t hexValue_ = 0;
  uint8_t utf8Left_ = 0;
  unsigned char utf8Low_ = 0;
  unsigned char utf8High_ = 0;
  // A top-level key, unescaped, while it could still name a total.
  bool capturing_ = false;
  char keyText_[16] = {};
  size_t keyLength_ = 0;

  // The number being read, as significant digits (at most kMaxDigits, then
  // whether a non-zero digit was cut) and where the decimal point goes.
  NumberPart numberPart_ = NumberPart::kSign;
  bool negative_ = false;
  bool plainInteger_ = true;
  bool cut_ = false;
  bool exponentNegative_ = false;
  int64_t integerDigits_ = 0;  // digits before the point, from the first significant one
  int64_t fractionZeros_ = 0;  // zeros after the point before the first significant digit
  int64_t exponent_ = 0;       // the written exponent, saturated
  std::string digits_;

  // The literal being read.
  const char* literal_ = nullptr;
  uint8_t literalAt_ = 0;
};

}  // namespace tarq

#endif  // TARQ_CLASH_TOTALS_STREAM_H_

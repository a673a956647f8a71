// The traffic totals of a GET /connections reply, read as its bytes arrive:
// fed in pieces of any size, as the transfer hands them over, and holding
// none of them, so that a reply of hundreds of megabytes costs a few hundred
// bytes of state (one bit per level of nesting, at most 800 digits of one
// number) and its parse runs while the rest of the reply is still in
// transit.
//
// It validates the whole body as strictly as the in-memory reader's simdjson
// parse: the JSON grammar, UTF-8, escapes and surrogate pairs, unescaped
// control characters, numbers beyond the range of a double, nesting beyond
// 1,024 levels. The two accept and reject the same bodies and read the same
// totals (tested side by side and fuzzed against nlohmann), and fail with the
// same error type and texts. Neither simdjson nor nlohmann parses one
// document from pieces: hence a parser of our own, kept to validation and the
// two totals.
//
// Thread safety: none; one stream per reply, on one thread.
#ifndef TARQ_CLASH_TOTALS_STREAM_H_
#define TARQ_CLASH_TOTALS_STREAM_H_

#include <simdjson.h>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "clash/traffic_totals.h"

namespace tarq {

class TotalsStream {
 public:
  // Levels of nesting accepted, as simdjson's default.
  static constexpr size_t kMaxDepth = 1024;

  TotalsStream();
  // Out of line: simdjson's parser is laid out by the library's own build
  // flags.
  ~TotalsStream();
  TotalsStream(const TotalsStream&) = delete;
  TotalsStream& operator=(const TotalsStream&) = delete;

  // Reads the next bytes of the body. Throws simdjson::simdjson_error at the
  // first byte that makes the body no JSON; every later call throws the same.
  void feed(std::string_view bytes);

  // The body has ended: its "uploadTotal" and "downloadTotal", taken as
  // ConnectionsTotalsReader::read() documents. Throws simdjson_error when
  // the body is empty, incomplete or a bare scalar, and
  // ClashError::badReply() when it is an array.
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

  [[noreturn]] void fail(simdjson::error_code error);

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
  simdjson::error_code error_ = simdjson::SUCCESS;
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
  std::unique_ptr<simdjson::dom::parser> numberParser_;  // made for the first number that needs it

  // The literal being read.
  const char* literal_ = nullptr;
  uint8_t literalAt_ = 0;
};

}  // namespace tarq

#endif  // TARQ_CLASH_TOTALS_STREAM_H_

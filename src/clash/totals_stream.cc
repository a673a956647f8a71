#include "clash/totals_stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "clash/clash_error.h"

namespace tarq {
namespace {

using Kind = TotalsStreamError::Kind;

// Significant digits kept of one number. The double nearest to a decimal
// number is decided by its first 768 significant digits and whether any
// non-zero digit follows them: a halfway point between two doubles has no
// more digits than that.
constexpr size_t kMaxDigits = 800;
// A saturation bound for digit counts and exponents, far beyond any double.
constexpr int64_t kExponentBound = int64_t{1} << 50;
// A number 0.d x 10^e with e above this is beyond every double; at or below
// kSureExponent it is certainly within range.
constexpr int64_t kSureExponent = std::numeric_limits<double>::max_exponent10;  // 308

// Bytes that stand for themselves inside a string: printable ASCII besides
// the quote and the backslash.
constexpr std::array<bool, 256> kPlainStringBytes = [] {
  std::array<bool, 256> plain{};
  for (int byte = 0x20; byte < 0x80; ++byte) {
    plain[byte] = byte != '"' && byte != '\\';
  }
  return plain;
}();

bool isDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

int hexDigit(char byte) {
  if (isDigit(byte)) {
    return byte - '0';
  }
  if (byte >= 'a' && byte <= 'f') {
    return byte - 'a' + 10;
  }
  if (byte >= 'A' && byte <= 'F') {
    return byte - 'A' + 10;
  }
  return -1;
}

// Where the plain text at `at` ends: the first quote, backslash, control
// character or non-ASCII byte, or `end`. Sixteen bytes at a time where SSE2
// is (x86-64), eight elsewhere: in each of the word masks below only bytes
// above a true match can be false matches, so the lowest marked byte is the
// first that needs a look.
[[gnu::always_inline]] inline const char* skipPlainText(const char* at, const char* end) {
#if defined(__SSE2__)
  // Sixteen at a time; as signed bytes, non-ASCII ones are below ' ' too.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(' ');
  while (end - at >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i marked =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                     _mm_cmplt_epi8(block, space));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(marked));
    if (mask != 0) {
      return at + std::countr_zero(mask);
    }
    at += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101;
    constexpr uint64_t kHighs = 0x8080808080808080;
    const auto zeroBytes = [](uint64_t word) { return (word - kOnes) & ~word & kHighs; };
    while (end - at >= 8) {
      uint64_t word = 0;
      std::memcpy(&word, at, sizeof word);
      const uint64_t marked = zeroBytes(word ^ (kOnes * '"')) | zeroBytes(word ^ (kOnes * '\\')) |
                              ((word - kOnes * 0x20) & ~word & kHighs) | (word & kHighs);
      if (marked != 0) {
        return at + std::countr_zero(marked) / 8;
      }
      at += sizeof word;
    }
  }
  while (at < end && kPlainStringBytes[static_cast<unsigned char>(*at)]) {
    ++at;
  }
  return at;
}

}  // namespace

TotalsStream::TotalsStream() {
  digits_.reserve(32);
}

TotalsStream::~TotalsStream() = default;

TrafficTotals TotalsStream::read(std::string_view body) {
  TotalsStream stream;
  stream.feed(body);
  return stream.finish();
}

void TotalsStream::fail(Kind kind) {
  error_ = kind;
  throw TotalsStreamError(kind);
}

void TotalsStream::feed(std::string_view bytes) {
  if (error_) {
    throw TotalsStreamError(*error_);
  }
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  while (at < end) {
    switch (mode_) {
      case Mode::kString:
        at = readString(at, end);
        break;
      case Mode::kNumber:
        at = readNumber(at, end);
        break;
      case Mode::kLiteral:
        at = readLiteral(at, end);
        break;
      default:
        at = readStructure(at, end);
        break;
    }
  }
}

TrafficTotals TotalsStream::finish() {
  if (error_) {
    throw TotalsStreamError(*error_);
  }
  if (mode_ == Mode::kNumber) {
    endNumber();
  }
  if (mode_ != Mode::kDone) {
    fail(top_ == Top::kNone        ? Kind::empty
         : mode_ == Mode::kString  ? Kind::unclosedString
         : mode_ == Mode::kLiteral ? Kind::trueLiteral
                                   : Kind::structure);
  }
  if (top_ == Top::kArray) {
    throw ClashError::badReply();
  }
  if (top_ == Top::kScalar) {
    // Like the platform parsers without a fragments option, a bare scalar is
    // no JSON text here.
    fail(Kind::notObjectOrArray);
  }
  return totals_;
}

// Structure, and the tokens begun there: most end within the piece.
const char* TotalsStream::readStructure(const char* at, const char* end) {
  while (at < end) {
    const char byte = *at++;
    switch (byte) {
      case ' ':
      case '\n':
      case '\r':
      case '\t':
        break;
      case '"':
        if (mode_ == Mode::kKey || mode_ == Mode::kFirstKeyOrEnd) {
          startString(true);
        } else {
          startValue(byte);
        }
        at = endsPlainly(at, end) ? skipSeparator(at, end) : readString(at, end);
        break;
      case ':':
        expect(mode_ == Mode::kColon);
        mode_ = Mode::kValue;
        break;
      case ',':
        expect(mode_ == Mode::kCommaOrEnd);
        mode_ = objects_[depth_ - 1] ? Mode::kKey : Mode::kValue;
        break;
      case '}':
        expect(mode_ == Mode::kCommaOrEnd || mode_ == Mode::kFirstKeyOrEnd);
        close(byte);
        break;
      case ']':
        expect(mode_ == Mode::kCommaOrEnd || mode_ == Mode::kFirstValueOrEnd);
        close(byte);
        break;
      default:
        startValue(byte);
        if (mode_ == Mode::kNumber) {
          at = readNumber(at, end);
        } else if (mode_ == Mode::kLiteral) {
          at = readLiteral(at, end);
        }
    }
  }
  return at;
}

// The colon after a key or the comma after a value, when it follows at
// once, as it does in compact JSON: taken here, without a round through the
// loop's dispatch.
[[gnu::always_inline]] inline const char* TotalsStream::skipSeparator(const char* at,
                                                                      const char* end) {
  if (at < end) {
    if (*at == ':' && mode_ == Mode::kColon) {
      mode_ = Mode::kValue;
      return at + 1;
    }
    if (*at == ',' && mode_ == Mode::kCommaOrEnd) {
      mode_ = objects_[depth_ - 1] ? Mode::kKey : Mode::kValue;
      return at + 1;
    }
  }
  return at;
}

void TotalsStream::expect(bool allowed) {
  if (!allowed) {
    fail(mode_ == Mode::kDone ? Kind::trailingContent : Kind::structure);
  }
}

[[gnu::always_inline]] inline void TotalsStream::startValue(char first) {
  expect(mode_ == Mode::kValue || mode_ == Mode::kFirstValueOrEnd);
  // Whatever a total's key holds, it now counts 0 until a number or Boolean
  // says otherwise: the last of repeated keys wins.
  valueTarget_ = keyTarget_;
  keyTarget_ = nullptr;
  if (valueTarget_ != nullptr) {
    *valueTarget_ = 0;
  }
  if (top_ == Top::kNone) {
    top_ = first == '{' ? Top::kObject : first == '[' ? Top::kArray : Top::kScalar;
  }
  switch (first) {
    case '{':
      open(true);
      break;
    case '[':
      open(false);
      break;
    case '"':
      startString(false);
      break;
    case 't':
      startLiteral("true");
      break;
    case 'f':
      startLiteral("false");
      break;
    case 'n':
      startLiteral("null");
      break;
    default:
      if (first == '-' || isDigit(first)) {
        startNumber(first);
      } else {
        fail(Kind::structure);
      }
  }
}

void TotalsStream::open(bool object) {
  if (depth_ >= kMaxDepth) {
    fail(Kind::depth);
  }
  objects_[depth_++] = object;
  mode_ = object ? Mode::kFirstKeyOrEnd : Mode::kFirstValueOrEnd;
}

void TotalsStream::close(char bracket) {
  const bool object = objects_[depth_ - 1];
  if (bracket != (object ? '}' : ']')) {
    fail(Kind::structure);
  }
  --depth_;
  endValue();
}

// Strings.

[[gnu::always_inline]] inline void TotalsStream::startString(bool key) {
  key_ = key;
  capturing_ = key && depth_ == 1;
  keyLength_ = 0;
  stringPart_ = StringPart::kText;
  mode_ = Mode::kString;
}

// Most strings are plain text up to their closing quote: stepped over here,
// and ended, without the general loop below.
[[gnu::always_inline]] inline bool TotalsStream::endsPlainly(const char*& at, const char* end) {
  if (stringPart_ != StringPart::kText || capturing_) {
    return false;
  }
  at = skipPlainText(at, end);
  if (at == end || *at != '"') {
    return false;
  }
  ++at;
  endString();
  return true;
}

const char* TotalsStream::readString(const char* at, const char* end) {
  if (endsPlainly(at, end)) {
    return at;
  }
  while (at < end) {
    const auto byte = static_cast<unsigned char>(*at);
    switch (stringPart_) {
      case StringPart::kText:
        if (kPlainStringBytes[byte]) {
          if (capturing_) {
            capture(byte);
            ++at;
          } else {
            at = skipPlainText(at + 1, end);  // the bulk of a reply
          }
          continue;
        }
        ++at;
        if (byte == '"') {
          endString();
          return at;
        }
        if (byte == '\\') {
          stringPart_ = StringPart::kEscape;
        } else if (byte < 0x20) {
          fail(Kind::unescapedChars);
        } else {
          startUtf8(byte);
        }
        continue;
      case StringPart::kEscape:
        endEscape(static_cast<char>(byte));
        ++at;
        continue;
      case StringPart::kHex: {
        const int digit = hexDigit(static_cast<char>(byte));
        if (digit < 0) {
          fail(Kind::string);
        }
        hexValue_ = hexValue_ * 16 + static_cast<uint32_t>(digit);
        ++at;
        if (++hexDigits_ == 4) {
          endHexUnit();
        }
        continue;
      }
      case StringPart::kLowBackslash:
      case StringPart::kLowU:
        // A high surrogate must be followed by "\u" and a low one.
        if (byte != (stringPart_ == StringPart::kLowBackslash ? '\\' : 'u')) {
          fail(Kind::string);
        }
        ++at;
        if (stringPart_ == StringPart::kLowU) {
          stringPart_ = StringPart::kHex;
          lowSurrogate_ = true;
          hexDigits_ = 0;
          hexValue_ = 0;
        } else {
          stringPart_ = StringPart::kLowU;
        }
        continue;
      case StringPart::kUtf8:
        if (byte < utf8Low_ || byte > utf8High_) {
          fail(Kind::utf8);
        }
        ++at;
        utf8Low_ = 0x80;
        utf8High_ = 0xBF;
        if (--utf8Left_ == 0) {
          stringPart_ = StringPart::kText;
        }
        continue;
    }
  }
  return at;
}

// The continuation bytes a lead byte calls for, and the range of the first
// of them, which excludes overlong forms, surrogates and code points beyond
// U+10FFFF.
void TotalsStream::startUtf8(unsigned char lead) {
  utf8Low_ = 0x80;
  utf8High_ = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    utf8Left_ = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    utf8Left_ = 2;
    if (lead == 0xE0) {
      utf8Low_ = 0xA0;
    } else if (lead == 0xED) {
      utf8High_ = 0x9F;
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    utf8Left_ = 3;
    if (lead == 0xF0) {
      utf8Low_ = 0x90;
    } else if (lead == 0xF4) {
      utf8High_ = 0x8F;
    }
  } else {
    fail(Kind::utf8);
  }
  capture(lead);
  stringPart_ = StringPart::kUtf8;
}

void TotalsStream::endEscape(char escaped) {
  stringPart_ = StringPart::kText;
  if (escaped == 'u') {
    stringPart_ = StringPart::kHex;
    lowSurrogate_ = false;
    hexDigits_ = 0;
    hexValue_ = 0;
    return;
  }
  // The one-letter escapes, and what each stands for.
  constexpr std::string_view kEscapes = "\"\\/bfnrt";
  constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
  const size_t found = kEscapes.find(escaped);
  if (found == std::string_view::npos) {
    fail(Kind::string);
  }
  capture(static_cast<unsigned char>(kMeanings[found]));
}

void TotalsStream::endHexUnit() {
  const bool high = hexValue_ >= 0xD800 && hexValue_ <= 0xDBFF;
  const bool low = hexValue_ >= 0xDC00 && hexValue_ <= 0xDFFF;
  if (lowSurrogate_ != low) {
    fail(Kind::string);  // a lone low surrogate, or a high one without its pair
  }
  if (high) {
    stringPart_ = StringPart::kLowBackslash;
    return;
  }
  capture(low ? 0x10000 : hexValue_);
  stringPart_ = StringPart::kText;
}

// Keeps a top-level key while it could still be "uploadTotal" or
// "downloadTotal": ASCII, and short.
void TotalsStream::capture(uint32_t codePoint) {
  if (!capturing_) {
    return;
  }
  if (codePoint >= 0x80 || keyLength_ == sizeof keyText_) {
    capturing_ = false;
    keyLength_ = sizeof keyText_ + 1;  // matches no name
    return;
  }
  keyText_[keyLength_++] = static_cast<char>(codePoint);
}

[[gnu::always_inline]] inline void TotalsStream::endString() {
  if (!key_) {
    endValue();
    return;
  }
  if (depth_ == 1) {
    const std::string_view key =
        keyLength_ <= sizeof keyText_ ? std::string_view(keyText_, keyLength_) : std::string_view();
    keyTarget_ = key == "uploadTotal"     ? &totals_.up
                 : key == "downloadTotal" ? &totals_.down
                                          : nullptr;
  }
  mode_ = Mode::kColon;
}

// Numbers.

void TotalsStream::startNumber(char first) {
  mode_ = Mode::kNumber;
  negative_ = first == '-';
  plainInteger_ = true;
  cut_ = false;
  exponentNegative_ = false;
  integerDigits_ = 0;
  fractionZeros_ = 0;
  exponent_ = 0;
  digits_.clear();
  if (negative_) {
    numberPart_ = NumberPart::kSign;
  } else if (first == '0') {
    numberPart_ = NumberPart::kZero;
  } else {
    numberPart_ = NumberPart::kInteger;
    addDigit(first, false);
  }
}

void TotalsStream::addDigit(char digit, bool fraction) {
  if (digits_.empty() && digit == '0') {
    // A zero before the first significant digit only moves the point.
    fractionZeros_ += fraction && fractionZeros_ < kExponentBound ? 1 : 0;
    return;
  }
  if (!fraction && integerDigits_ < kExponentBound) {
    ++integerDigits_;
  }
  if (digits_.size() < kMaxDigits) {
    digits_.push_back(digit);
  } else if (digit != '0') {
    cut_ = true;
  }
}

void TotalsStream::addIntegerDigits(const char* run, const char* end) {
  const auto count = static_cast<size_t>(end - run);
  integerDigits_ = std::min<int64_t>(integerDigits_ + static_cast<int64_t>(count), kExponentBound);
  const size_t kept = std::min(count, kMaxDigits - digits_.size());
  digits_.append(run, kept);
  cut_ = cut_ || std::find_if(run + kept, end, [](char digit) { return digit != '0'; }) != end;
}

void TotalsStream::addExponentDigit(char digit) {
  if (exponent_ < kExponentBound) {
    exponent_ = exponent_ * 10 + (digit - '0');
  }
}

const char* TotalsStream::readNumber(const char* at, const char* end) {
  while (at < end) {
    const char byte = *at;
    switch (numberPart_) {
      case NumberPart::kSign:
        if (!isDigit(byte)) {
          fail(Kind::number);
        }
        numberPart_ = byte == '0' ? NumberPart::kZero : NumberPart::kInteger;
        addDigit(byte, false);
        ++at;
        continue;
      case NumberPart::kInteger:
        if (isDigit(byte)) {
          // Every digit after the first significant one counts.
          const char* run = at;
          while (++at < end && isDigit(*at)) {
          }
          addIntegerDigits(run, at);
          continue;
        }
        [[fallthrough]];
      case NumberPart::kFraction:
      case NumberPart::kExponent:
        if (isDigit(byte)) {
          if (numberPart_ == NumberPart::kExponent) {
            addExponentDigit(byte);
          } else {
            addDigit(byte, numberPart_ == NumberPart::kFraction);
          }
          ++at;
          continue;
        }
        [[fallthrough]];
      case NumberPart::kZero:
        if (byte == '.' && numberPart_ <= NumberPart::kInteger) {
          numberPart_ = NumberPart::kPoint;
        } else if ((byte == 'e' || byte == 'E') && numberPart_ <= NumberPart::kFraction) {
          numberPart_ = NumberPart::kExponentMark;
        } else if (isDigit(byte)) {
          fail(Kind::number);  // a leading zero
        } else {
          endNumber();  // the byte belongs to what follows
          return at;
        }
        plainInteger_ = false;
        ++at;
        continue;
      case NumberPart::kPoint:
        if (!isDigit(byte)) {
          fail(Kind::number);
        }
        numberPart_ = NumberPart::kFraction;
        addDigit(byte, true);
        ++at;
        continue;
      case NumberPart::kExponentMark:
        if (byte == '+' || byte == '-') {
          exponentNegative_ = byte == '-';
          numberPart_ = NumberPart::kExponentSign;
          ++at;
          continue;
        }
        [[fallthrough]];
      case NumberPart::kExponentSign:
        if (!isDigit(byte)) {
          fail(Kind::number);
        }
        numberPart_ = NumberPart::kExponent;
        addExponentDigit(byte);
        ++at;
        continue;
    }
  }
  return at;
}

// e such that the number is 0.digits x 10^e.
int64_t TotalsStream::decimalExponent() const {
  return integerDigits_ - fractionZeros_ + (exponentNegative_ ? -exponent_ : exponent_);
}

// The double nearest to the number, as the C library's strtod() rounds it
// (correctly, for any number of digits), which is also what nlohmann reads.
// The text handed over has no decimal point, so that no locale can change
// its reading. Fails for a number beyond the range of a double.
double TotalsStream::numberAsDouble() {
  const int64_t exponent = decimalExponent();
  if (digits_.empty() || exponent < -2 * kSureExponent) {
    return 0;  // zero, or below the smallest double
  }
  if (exponent > 2 * kSureExponent) {
    fail(Kind::number);
  }
  // digits x 10^(exponent - count) is 0.digits x 10^exponent.
  std::string text = negative_ ? "-" : "";
  text += digits_;
  if (cut_) {
    text += '1';  // keeps the cut digits' weight for the rounding
  }
  const auto count = static_cast<int64_t>(text.size()) - (negative_ ? 1 : 0);
  text += 'e' + std::to_string(exponent - count);
  const double number = std::strtod(text.c_str(), nullptr);
  if (std::isinf(number)) {
    fail(Kind::number);
  }
  return number;  // an underflow reads as the nearest subnormal, or zero
}

void TotalsStream::endNumber() {
  if (numberPart_ != NumberPart::kZero && numberPart_ != NumberPart::kInteger &&
      numberPart_ != NumberPart::kFraction && numberPart_ != NumberPart::kExponent) {
    fail(Kind::number);  // "-", "1.", "1e", "1e+"
  }
  endValue();
  int64_t* const target = valueTarget_;
  valueTarget_ = nullptr;
  if (plainInteger_ && digits_.size() <= 19) {
    // Below 10^19: it fits in 64 bits, and nothing but a total needs its value.
    if (target != nullptr) {
      uint64_t magnitude = 0;
      std::from_chars(digits_.data(), digits_.data() + digits_.size(), magnitude);
      *target = !negative_                      ? totalFromUnsigned(magnitude)
                : magnitude > uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min()
                                                : static_cast<int64_t>(0 - magnitude);
    }
    return;
  }
  if (target == nullptr && decimalExponent() <= kSureExponent) {
    return;  // certainly within the range of a double
  }
  const double number = numberAsDouble();
  if (target != nullptr) {
    *target = totalFromDouble(number);
  }
}

// Literals.

void TotalsStream::startLiteral(const char* text) {
  literal_ = text;
  literalAt_ = 1;
  mode_ = Mode::kLiteral;
}

const char* TotalsStream::readLiteral(const char* at, const char* end) {
  while (at < end && literal_[literalAt_] != '\0') {
    if (*at != literal_[literalAt_]) {
      fail(literal_[0] == 't'   ? Kind::trueLiteral
           : literal_[0] == 'f' ? Kind::falseLiteral
                                : Kind::nullLiteral);
    }
    ++at;
    ++literalAt_;
  }
  if (literal_[literalAt_] == '\0') {
    if (valueTarget_ != nullptr) {
      *valueTarget_ = literal_[0] == 't' ? 1 : 0;
      valueTarget_ = nullptr;
    }
    endValue();
  }
  return at;
}

}  // namespace tarq

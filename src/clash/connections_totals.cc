#include "clash/connections_totals.h"

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "clash/clash_error.h"
#include "clash/padded_buffer.h"

namespace tarq {
namespace {

static_assert(ConnectionsTotalsReader::kPadding >= simdjson::SIMDJSON_PADDING);

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Memory kept between calls: a parser or copy sized for more than this many
// times the current reply (and more than kKeptBytes) is given back.
constexpr size_t kShrinkFactor = 4;
constexpr size_t kKeptBytes = size_t{1} << 20;
constexpr size_t kCopyFloorBytes = 4096;
// Levels of nesting the On-Demand walk recurses into; a reply is a few
// levels deep.
constexpr size_t kWalkDepth = 64;

int64_t fromDouble(double number) {
  if (std::isnan(number)) {
    return 0;
  }
  if (number >= 0x1p63) {
    return kMax;
  }
  if (number < -0x1p63) {
    return kMin;
  }
  return static_cast<int64_t>(number);
}

int64_t fromUnsigned(uint64_t number) {
  return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(number);
}

int64_t toInt64(simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::INT64:
      return value.get_int64().value_unsafe();
    case element_type::UINT64:
      return fromUnsigned(value.get_uint64().value_unsafe());
    case element_type::DOUBLE:
      return fromDouble(value.get_double().value_unsafe());
    case element_type::BOOL:
      return value.get_bool().value_unsafe() ? 1 : 0;
    default:
      return 0;
  }
}

enum class TopLevel { kObject, kArray, kScalar };

void requireObject(TopLevel top) {
  if (top == TopLevel::kArray) {
    throw ClashError::badReply();
  }
  if (top == TopLevel::kScalar) {
    // Like the platform parsers without a fragments option, a bare scalar is
    // no JSON text here.
    throw simdjson::simdjson_error(simdjson::INCORRECT_TYPE);
  }
}

// The slower path, for replies with numbers the DOM parse cannot hold:
// nlohmann's event reader, which builds nothing (its cost is the reply's
// bytes and one bit per level of nesting) and gives integers beyond 64 bits
// as doubles. Only values directly in the top-level object count.
class TolerantTotals final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit TolerantTotals(size_t maxDepth) : maxDepth_(maxDepth) {}

  TrafficTotals totals;
  TopLevel top = TopLevel::kScalar;

  bool null() override { return value(0); }
  bool boolean(bool flag) override { return value(flag ? 1 : 0); }
  bool number_integer(number_integer_t number) override { return value(number); }
  bool number_unsigned(number_unsigned_t number) override { return value(fromUnsigned(number)); }
  bool number_float(number_float_t number, const string_t&) override {
    return value(fromDouble(number));
  }
  bool string(string_t&) override { return value(0); }
  bool binary(binary_t&) override { return value(0); }
  bool start_object(std::size_t) override { return open(TopLevel::kObject); }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      target_ = name == "uploadTotal"     ? &totals.up
                : name == "downloadTotal" ? &totals.down
                                          : nullptr;
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(TopLevel::kArray); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
    return false;
  }

 private:
  bool value(int64_t number) {
    if (depth_ == 1 && target_ != nullptr) {
      *target_ = number;
      target_ = nullptr;
    }
    return true;
  }
  bool open(TopLevel kind) {
    if (depth_ == 0) {
      top = kind;
    }
    value(0);
    return ++depth_ <= maxDepth_;
  }
  bool close() {
    --depth_;
    return true;
  }

  const size_t maxDepth_;
  size_t depth_ = 0;
  int64_t* target_ = nullptr;
};

// Throws `original` (the fast parse's error) when the slower reader refuses
// the body too: a number beyond the range of a double, or any other fault.
TrafficTotals readTolerantly(std::string_view body, size_t maxDepth,
                             simdjson::error_code original) {
  TolerantTotals reader(maxDepth);
  // nlohmann's reader would take a NUL byte for the end of the text.
  const bool read = body.find('\0') == std::string_view::npos &&
                    nlohmann::json::sax_parse(body.begin(), body.end(), &reader);
  if (!read) {
    throw simdjson::simdjson_error(original);
  }
  requireObject(reader.top);
  return reader.totals;
}

TopLevel topLevelOf(simdjson::dom::element root) {
  if (root.is_object()) {
    return TopLevel::kObject;
  }
  return root.is_array() ? TopLevel::kArray : TopLevel::kScalar;
}

namespace ondemand = simdjson::ondemand;

// The On-Demand path, for big replies: it keeps no tape, only the structural
// indexes (4 bytes per token), and validates only what it visits, so it
// visits every value. A string is unescaped (which writes it into the
// parser's string buffer) only when it holds an escape; UTF-8 and control
// characters are checked for the whole reply before the walk.
class OnDemandWalk {
 public:
  // `body` is what the document was iterated from.
  OnDemandWalk(std::string_view body, size_t maxDepth)
      : end_(body.data() + body.size()), maxDepth_(maxDepth) {}

  simdjson::error_code totals(ondemand::document& document, TrafficTotals& totals) {
    ondemand::json_type type;
    SIMDJSON_TRY(document.type().get(type));
    if (type == ondemand::json_type::array) {
      ondemand::array array;
      SIMDJSON_TRY(document.get_array().get(array));
      SIMDJSON_TRY(walkArray(array, 1));
      SIMDJSON_TRY(atEnd(document));
      throw ClashError::badReply();
    }
    if (type != ondemand::json_type::object) {
      return simdjson::INCORRECT_TYPE;
    }
    ondemand::object object;
    SIMDJSON_TRY(document.get_object().get(object));
    for (auto result : object) {
      ondemand::field field;
      SIMDJSON_TRY(std::move(result).get(field));
      std::string_view key;
      SIMDJSON_TRY(field.unescaped_key().get(key));
      int64_t number = 0;
      SIMDJSON_TRY(walk(field.value(), 1, number));
      if (key == "uploadTotal") {
        totals.up = number;
      } else if (key == "downloadTotal") {
        totals.down = number;
      }
    }
    return atEnd(document);
  }

 private:
  // Nothing may follow the top-level value.
  static simdjson::error_code atEnd(ondemand::document& document) {
    const char* next = nullptr;
    return document.current_location().get(next) == simdjson::OUT_OF_BOUNDS
               ? simdjson::SUCCESS
               : simdjson::TRAILING_CONTENT;
  }

  // Whether a raw string (past its opening quote) holds an escape before its
  // closing quote, which the structural scan has found before `end_`.
  bool escaped(ondemand::raw_json_string raw) const {
    const char* text = raw.raw();
    const auto* quote = static_cast<const char*>(std::memchr(text, '"', end_ - text));
    return quote == nullptr || std::memchr(text, '\\', quote - text) != nullptr;
  }

  [[gnu::noinline]] simdjson::error_code checkKey(ondemand::field& field) const {
    std::string_view key;
    return escaped(field.key()) ? field.unescaped_key().get(key) : simdjson::SUCCESS;
  }

  simdjson::error_code walkArray(ondemand::array& array, size_t depth) {
    for (auto result : array) {
      ondemand::value element;
      SIMDJSON_TRY(std::move(result).get(element));
      int64_t ignored = 0;
      SIMDJSON_TRY(walk(element, depth, ignored));
    }
    return simdjson::SUCCESS;
  }

  simdjson::error_code walkObject(ondemand::object& object, size_t depth) {
    for (auto result : object) {
      ondemand::field field;
      SIMDJSON_TRY(std::move(result).get(field));
      SIMDJSON_TRY(checkKey(field));
      int64_t ignored = 0;
      SIMDJSON_TRY(walk(field.value(), depth, ignored));
    }
    return simdjson::SUCCESS;
  }

  // Validates `value` whole (`depth` containers hold it); `number` becomes
  // what a total of that value reads as.
  simdjson::error_code walk(ondemand::value value, size_t depth, int64_t& number) {
    ondemand::json_type type;
    SIMDJSON_TRY(value.type().get(type));
    switch (type) {
      case ondemand::json_type::object: {
        if (depth >= maxDepth_) {
          return simdjson::DEPTH_ERROR;
        }
        ondemand::object object;
        SIMDJSON_TRY(value.get_object().get(object));
        return walkObject(object, depth + 1);
      }
      case ondemand::json_type::array: {
        if (depth >= maxDepth_) {
          return simdjson::DEPTH_ERROR;
        }
        ondemand::array array;
        SIMDJSON_TRY(value.get_array().get(array));
        return walkArray(array, depth + 1);
      }
      default:
        return scalar(value, type, number);
    }
  }

  // Kept out of walk() so that the frames of a deep nesting stay small (a
  // sanitizer's redzones around every local made them kilobytes).
  [[gnu::noinline]] simdjson::error_code scalar(ondemand::value& value, ondemand::json_type type,
                                                int64_t& number) const {
    switch (type) {
      case ondemand::json_type::number:
        // Any number this simdjson cannot read (it gives integers beyond 64
        // bits more than one error) is left to the tolerant reader.
        return readNumber(value, number) == simdjson::SUCCESS ? simdjson::SUCCESS
                                                              : simdjson::NUMBER_ERROR;
      case ondemand::json_type::string: {
        ondemand::raw_json_string raw;
        SIMDJSON_TRY(value.get_raw_json_string().get(raw));
        std::string_view text;
        return escaped(raw) ? value.get_string().get(text) : simdjson::SUCCESS;
      }
      case ondemand::json_type::boolean: {
        bool flag = false;
        SIMDJSON_TRY(value.get_bool().get(flag));
        number = flag ? 1 : 0;
        return simdjson::SUCCESS;
      }
      case ondemand::json_type::null: {
        bool null = false;
        SIMDJSON_TRY(value.is_null().get(null));
        return null ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
      }
      default:
        return simdjson::TAPE_ERROR;
    }
  }

  // Not get_number(): this simdjson's gives 0 for a fraction of more than 19
  // digits.
  static simdjson::error_code readNumber(ondemand::value& value, int64_t& number) {
    ondemand::number_type type;
    SIMDJSON_TRY(value.get_number_type().get(type));
    switch (type) {
      case ondemand::number_type::signed_integer:
        return value.get_int64().get(number);
      case ondemand::number_type::unsigned_integer: {
        uint64_t unsignedNumber = 0;
        SIMDJSON_TRY(value.get_uint64().get(unsignedNumber));
        number = fromUnsigned(unsignedNumber);
        return simdjson::SUCCESS;
      }
      case ondemand::number_type::floating_point_number: {
        double real = 0;
        SIMDJSON_TRY(value.get_double().get(real));
        number = fromDouble(real);
        return simdjson::SUCCESS;
      }
    }
    return simdjson::NUMBER_ERROR;
  }

  const char* const end_;
  const size_t maxDepth_;
};

}  // namespace

struct ConnectionsTotalsReader::Parser {
  simdjson::dom::parser dom;
  ondemand::parser onDemand;
  // read()'s padded copy of a body.
  PaddedBuffer copy{kPadding, kCopyFloorBytes};
};

namespace {

// A parser only ever grows (to exactly what a reply needs); after a reply
// much smaller than its capacity a new one replaces it, and the memory goes
// back at once.
template <typename SimdjsonParser>
bool fitTo(SimdjsonParser& parser, size_t recent) {
  if (parser.capacity() > kKeptBytes && parser.capacity() / kShrinkFactor > recent) {
    parser = SimdjsonParser();
    return true;
  }
  return false;
}

}  // namespace

ConnectionsTotalsReader::ConnectionsTotalsReader(size_t onDemandFrom)
    : parser_(std::make_unique<Parser>()), onDemandFrom_(onDemandFrom) {}

ConnectionsTotalsReader::~ConnectionsTotalsReader() = default;

TrafficTotals ConnectionsTotalsReader::read(std::string_view body) {
  PaddedBuffer& copy = parser_->copy;
  struct Release {
    PaddedBuffer& copy;
    size_t recent;
    ~Release() {
      copy.clear();
      copy.fitTo(recent, kShrinkFactor);
    }
  } release{copy, body.size()};
  copy.clear();
  copy.reserve(body.size());
  copy.append(body.data(), body.size());
  return readPadded(copy.view());
}

TrafficTotals ConnectionsTotalsReader::readPadded(std::string_view body) {
  const bool dropped = fitTo(parser_->dom, body.size());
  if (fitTo(parser_->onDemand, body.size()) || dropped) {
    releaseFreedMemory();
  }
  return body.size() >= onDemandFrom_ ? readOnDemand(body) : readDom(body);
}

TrafficTotals ConnectionsTotalsReader::readDom(std::string_view body) {
  simdjson::dom::parser& dom = parser_->dom;
  // In place (the caller's buffer carries the padding), validated whole.
  simdjson::dom::element root;
  const simdjson::error_code error = dom.parse(body.data(), body.size(), false).get(root);
  // This simdjson reports an integer beyond 64 bits as a number error.
  if (error == simdjson::NUMBER_ERROR) {
    return readTolerantly(body, dom.max_depth(), error);
  }
  if (error != simdjson::SUCCESS) {
    throw simdjson::simdjson_error(error);
  }
  requireObject(topLevelOf(root));
  // Only the top level counts; the large "connections" array is skipped
  // whole. A repeated key: the last one wins.
  TrafficTotals totals;
  for (const auto field : simdjson::dom::object(root)) {
    if (field.key == "uploadTotal") {
      totals.up = toInt64(field.value);
    } else if (field.key == "downloadTotal") {
      totals.down = toInt64(field.value);
    }
  }
  return totals;
}

TrafficTotals ConnectionsTotalsReader::readOnDemand(std::string_view body) {
  ondemand::parser& parser = parser_->onDemand;
  TrafficTotals totals;
  ondemand::document document;
  simdjson::error_code error =
      parser.iterate(body.data(), body.size(), body.size() + kPadding).get(document);
  if (error == simdjson::SUCCESS) {
    error = OnDemandWalk(body, kWalkDepth).totals(document, totals);
  }
  // Deeper nesting (up to the DOM's limit) is read by the event reader,
  // which keeps one bit per level where the walk keeps a stack frame.
  if (error == simdjson::NUMBER_ERROR || error == simdjson::DEPTH_ERROR) {
    return readTolerantly(body, simdjson::DEFAULT_MAX_DEPTH, error);
  }
  if (error != simdjson::SUCCESS) {
    throw simdjson::simdjson_error(error);
  }
  return totals;
}

}  // namespace tarq

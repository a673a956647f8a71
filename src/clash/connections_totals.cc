#include "clash/connections_totals.h"

#include <simdjson.h>

#include <string>

#include "clash/clash_error.h"
#include "clash/padded_buffer.h"
#include "clash/totals_stream.h"

namespace tarq {
namespace {

static_assert(ConnectionsTotalsReader::kPadding >= simdjson::SIMDJSON_PADDING);

// Memory kept between calls: a parser or copy sized for more than this many
// times the current reply (and more than kKeptBytes) is given back.
constexpr size_t kShrinkFactor = 4;
constexpr size_t kKeptBytes = size_t{1} << 20;
constexpr size_t kCopyFloorBytes = 4096;

int64_t toInt64(simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::INT64:
      return value.get_int64().value_unsafe();
    case element_type::UINT64:
      return totalFromUnsigned(value.get_uint64().value_unsafe());
    case element_type::DOUBLE:
      return totalFromDouble(value.get_double().value_unsafe());
    case element_type::BOOL:
      return value.get_bool().value_unsafe() ? 1 : 0;
    default:
      return 0;
  }
}

TrafficTotals readStreamed(std::string_view body) {
  TotalsStream stream;
  stream.feed(body);
  return stream.finish();
}

}  // namespace

struct ConnectionsTotalsReader::Parser {
  simdjson::dom::parser dom;
  // read()'s padded copy of a body.
  PaddedBuffer copy{kPadding, kCopyFloorBytes};
};

ConnectionsTotalsReader::ConnectionsTotalsReader(size_t streamFrom)
    : parser_(std::make_unique<Parser>()), streamFrom_(streamFrom) {}

ConnectionsTotalsReader::~ConnectionsTotalsReader() = default;

TrafficTotals ConnectionsTotalsReader::read(std::string_view body) {
  if (body.size() >= streamFrom_) {
    return readStreamed(body);  // no copy needed
  }
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
  if (body.size() >= streamFrom_) {
    return readStreamed(body);
  }
  // A parser only ever grows (to exactly what a reply needs); after a reply
  // much smaller than its capacity a new one replaces it, and the memory goes
  // back at once.
  simdjson::dom::parser& dom = parser_->dom;
  if (dom.capacity() > kKeptBytes && dom.capacity() / kShrinkFactor > body.size()) {
    dom = simdjson::dom::parser();
    releaseFreedMemory();
  }
  return readDom(body);
}

TrafficTotals ConnectionsTotalsReader::readDom(std::string_view body) {
  simdjson::dom::parser& dom = parser_->dom;
  // In place (the caller's buffer carries the padding), validated whole.
  simdjson::dom::element root;
  const simdjson::error_code error = dom.parse(body.data(), body.size(), false).get(root);
  // This simdjson reports an integer beyond 64 bits as a number error; the
  // stream holds such an integer as a double (and refuses, as the DOM does,
  // a number beyond the range of a double).
  if (error == simdjson::NUMBER_ERROR) {
    return readStreamed(body);
  }
  if (error != simdjson::SUCCESS) {
    throw simdjson::simdjson_error(error);
  }
  if (root.is_array()) {
    throw ClashError::badReply();
  }
  if (!root.is_object()) {
    // Like the platform parsers without a fragments option, a bare scalar is
    // no JSON text here.
    throw simdjson::simdjson_error(simdjson::INCORRECT_TYPE);
  }
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

}  // namespace tarq

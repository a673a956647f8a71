// TEMPORARY stand-in, only for the fuzz build, until the library's own
// src/clash/connections_totals.h exists (fuzz/CMakeLists.txt stops using this
// folder as soon as it does; delete the folder then). Same interface; the body
// repeats the reading that ClashClient::totals() does after its HTTP exchange.
#ifndef TARQ_FUZZ_SHIM_CLASH_CONNECTIONS_TOTALS_H_
#define TARQ_FUZZ_SHIM_CLASH_CONNECTIONS_TOTALS_H_

#include <simdjson.h>

#include <cmath>
#include <limits>
#include <string_view>

#include "clash/clash_client.h"
#include "clash/clash_error.h"

namespace tarq {

class ConnectionsTotalsReader {
 public:
  TrafficTotals read(std::string_view body) {
    const simdjson::dom::element root = parser_.parse(body.data(), body.size(), true);
    if (root.is_array()) {
      throw ClashError::badReply();
    }
    if (!root.is_object()) {
      throw simdjson::simdjson_error(simdjson::INCORRECT_TYPE);
    }
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

 private:
  static int64_t toInt64(simdjson::dom::element value) {
    using simdjson::dom::element_type;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    switch (value.type()) {
      case element_type::INT64:
        return value.get_int64().value_unsafe();
      case element_type::UINT64: {
        const uint64_t number = value.get_uint64().value_unsafe();
        return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(number);
      }
      case element_type::DOUBLE: {
        const double number = value.get_double().value_unsafe();
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
      case element_type::BOOL:
        return value.get_bool().value_unsafe() ? 1 : 0;
      default:
        return 0;
    }
  }

  simdjson::dom::parser parser_;
};

}  // namespace tarq

#endif  // TARQ_FUZZ_SHIM_CLASH_CONNECTIONS_TOTALS_H_

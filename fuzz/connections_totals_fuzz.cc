// The body of GET /connections, from the bytes after the HTTP exchange to the
// totals or their error. The reference is nlohmann::json, the parser the
// platforms' JSON readers stand for here: a body it rejects is rejected; an
// object it accepts is read, and every integral total equals nlohmann's
// number saturated to the signed 64-bit range.
#include <simdjson.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "clash/clash_error.h"
#include "clash/connections_totals.h"
#include "fuzz_check.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

// The reference total, when nlohmann's value is an integer (an integer
// literal beyond 64 bits arrives as an integral double); nothing otherwise.
std::optional<int64_t> expectedTotal(const json& body, const char* key) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  auto found = body.find(key);
  if (found == body.end()) {
    return 0;
  }
  if (found->is_number_unsigned()) {
    const uint64_t number = found->get<uint64_t>();
    return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(number);
  }
  if (found->is_number_integer()) {
    return found->get<int64_t>();
  }
  if (found->is_number_float() && std::trunc(found->get<double>()) == found->get<double>()) {
    const double number = found->get<double>();
    if (number >= 0x1p63) {
      return kMax;
    }
    return number < -0x1p63 ? std::numeric_limits<int64_t>::min() : static_cast<int64_t>(number);
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarq::ConnectionsTotalsReader reader;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const json reference = json::parse(body, nullptr, /*allow_exceptions=*/false);
  std::optional<tarq::TrafficTotals> totals;
  try {
    totals = reader.read(body);
  } catch (const simdjson::simdjson_error& error) {
#ifdef TARQ_FUZZ_TOTALS_SHIM
    // Today's reading refuses what nlohmann reads in three ways, kept in
    // fuzz/findings/connections_totals/: an integer beyond 64 bits, nesting
    // deeper than 1024 and a leading byte order mark.
    if (error.error() == simdjson::NUMBER_ERROR || error.error() == simdjson::DEPTH_ERROR ||
        (body.substr(0, 3) == "\xEF\xBB\xBF")) {
      return 0;
    }
#endif
  } catch (const tarq::ClashError& error) {
    fuzzCheck(error.kind() == tarq::ClashError::Kind::badReply, "only badReply is thrown");
    fuzzCheck(reference.is_array(), "badReply only for a JSON array");
  }
  if (body.find('\0') != std::string_view::npos) {
    // nlohmann's reader takes a NUL byte for the end of the text; no reference.
    return 0;
  }
  if (!reference.is_object()) {
    fuzzCheck(!totals, "what nlohmann does not read as an object is rejected");
    return 0;
  }
  fuzzCheck(totals.has_value(), "an object nlohmann reads is accepted");
  const std::optional<int64_t> up = expectedTotal(reference, "uploadTotal");
  const std::optional<int64_t> down = expectedTotal(reference, "downloadTotal");
  fuzzCheck(!up || *up == totals->up, "uploadTotal is nlohmann's, saturated");
  fuzzCheck(!down || *down == totals->down, "downloadTotal is nlohmann's, saturated");
  return 0;
}

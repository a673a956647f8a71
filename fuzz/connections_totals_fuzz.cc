// The body of GET /connections, from the bytes after the HTTP exchange to the
// totals or their error. The reference is nlohmann::json, the parser the
// platforms' JSON readers stand for here: a body it rejects is rejected; an
// object it accepts is read, and each total is nlohmann's value of that key
// taken as the reader documents (a number truncated toward zero and
// saturated to the signed 64-bit range, a Boolean as 1 or 0, anything else
// or nothing as 0; the last of repeated keys).
//
// Deliberate differences, where the reader refuses what nlohmann reads, as
// it documents: nesting deeper than 1,024 levels (a real reply nests four),
// a leading UTF-8 byte order mark (sing-box never sends one) and a NUL byte
// anywhere (nlohmann would end the text there).
//
// Each body is read whole and in pieces, and both readings must agree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "clash/clash_error.h"
#include "clash/totals_stream.h"
#include "fuzz_check.h"
#include "json_nesting.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

constexpr size_t kMaxDepth = 1024;

// The reference total of `key` in the top-level object `body`.
int64_t expectedTotal(const json& body, const char* key) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  auto found = body.find(key);
  if (found == body.end()) {
    return 0;
  }
  if (found->is_boolean()) {
    return found->get<bool>() ? 1 : 0;
  }
  if (found->is_number_unsigned()) {
    const uint64_t number = found->get<uint64_t>();
    return number > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(number);
  }
  if (found->is_number_integer()) {
    return found->get<int64_t>();
  }
  if (found->is_number_float()) {
    // nlohmann refuses a number beyond the range of a double: no infinity,
    // and JSON has no NaN.
    const double number = std::trunc(found->get<double>());
    if (number >= 0x1p63) {
      return kMax;
    }
    return number < -0x1p63 ? kMin : static_cast<int64_t>(number);
  }
  return 0;
}

// What one reader makes of a body: its totals, or which error it threw.
struct Outcome {
  std::optional<tarq::TrafficTotals> totals;
  bool badReply = false;
  bool operator==(const Outcome&) const = default;
};

template <typename Read>
Outcome outcomeOf(Read read) {
  try {
    return {read()};
  } catch (const tarq::TotalsStreamError&) {
    return {};
  } catch (const tarq::ClashError& error) {
    fuzzCheck(error.kind() == tarq::ClashError::Kind::badReply, "only badReply is thrown");
    return {std::nullopt, true};
  }
}

Outcome readWhole(std::string_view body) {
  return outcomeOf([body] { return tarq::TotalsStream::read(body); });
}

// The body in pieces, as a transfer hands it over: a byte at a time when it
// is small, else in pieces of sizes the body's own bytes choose.
Outcome streamInPieces(std::string_view body) {
  return outcomeOf([body] {
    tarq::TotalsStream stream;
    for (size_t at = 0; at < body.size();) {
      const size_t piece = body.size() <= 512 ? 1 : 1 + static_cast<uint8_t>(body[at]) % 64;
      stream.feed(body.substr(at, piece));
      at += piece;
    }
    return stream.finish();
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const json reference = json::parse(body, nullptr, /*allow_exceptions=*/false);
  const Outcome outcome = readWhole(body);
  fuzzCheck(streamInPieces(body) == outcome, "the stream reads the same however the body is cut");
  fuzzCheck(!outcome.badReply || reference.is_array(), "badReply only for a JSON array");
  const std::optional<tarq::TrafficTotals>& totals = outcome.totals;
  if (body.find('\0') != std::string_view::npos) {
    fuzzCheck(!totals, "a NUL byte is refused");
    return 0;
  }
  if (!reference.is_object()) {
    fuzzCheck(!totals, "what nlohmann does not read as an object is rejected");
    return 0;
  }
  if (body.starts_with("\xEF\xBB\xBF")) {
    fuzzCheck(!totals, "a leading byte order mark is refused");
    return 0;
  }
  if (tarq::jsonNesting(body) > kMaxDepth) {
    fuzzCheck(!totals, "nesting deeper than 1,024 is refused");
    return 0;
  }
  fuzzCheck(totals.has_value(), "an object nlohmann reads is accepted");
  fuzzCheck(expectedTotal(reference, "uploadTotal") == totals->up,
            "uploadTotal is nlohmann's, truncated and saturated");
  fuzzCheck(expectedTotal(reference, "downloadTotal") == totals->down,
            "downloadTotal is nlohmann's, truncated and saturated");
  return 0;
}

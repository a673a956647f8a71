// The two ways the /connections reader parses a reply (the DOM for ordinary
// replies, the On-Demand walk for big ones) must accept and reject the same
// bodies and read the same totals: each body goes through both. The cases of
// connections_totals_test.cc go through both too; these add what only a
// validating walk of every value can get wrong.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <optional>
#include <string>

#include "clash/clash_error.h"
#include "clash/connections_totals.h"

namespace tarq {
namespace {

enum class Outcome { kTotals, kNotJson, kBadReply };

struct Result {
  Outcome outcome;
  TrafficTotals totals;
  friend bool operator==(const Result&, const Result&) = default;
};

Result readWith(ConnectionsTotalsReader& reader, const std::string& body) {
  try {
    return {Outcome::kTotals, reader.read(body)};
  } catch (const simdjson::simdjson_error&) {
    return {Outcome::kNotJson, {}};
  } catch (const ClashError&) {
    return {Outcome::kBadReply, {}};
  }
}

std::string nested(size_t levels) {
  return R"({"uploadTotal":3,"x":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
}

TEST(ConnectionsTotalsPathsTest, DomAndOnDemandAgree) {
  const std::string big = "18446744073709551617";
  const struct {
    std::string body;
    std::optional<TrafficTotals> totals;  // none: rejected
  } cases[] = {
      {R"({"uploadTotal":12,"downloadTotal":34,"connections":[{"id":"a\"b","n":null,)"
       R"("f":false,"t":true,"e":[],"o":{},"d":-1.5e3,"u":"\u00e9\ud83d\ude00"}]})",
       TrafficTotals{12, 34}},
      {R"({"uploadTotal":7,"uploadTotal":false,"downloadTotal":"5","downloadTotal":null})",
       TrafficTotals{0, 0}},
      {R"({"upload\u0054otal":5,"downloadTotal":{"a":[1]},"c":[{"uploadTotal":9}]})",
       TrafficTotals{5, 0}},
      {R"({"uploadTotal":1844.6744073709551615,"downloadTotal":-92233720368.54775808})",
       TrafficTotals{1844, -92233720368}},
      {R"({"uploadTotal":18446744073708446744073709551615,"downloadTotal":-92233720362036854775808})",
       TrafficTotals{INT64_MAX, INT64_MIN}},
      {R"({"x":[)" + big + R"(],"uploadTotal":1})", TrafficTotals{1, 0}},
      {nested(63), TrafficTotals{3, 0}},
      {nested(64), TrafficTotals{3, 0}},
      {nested(1023), TrafficTotals{3, 0}},
      {R"({"x":)" + std::string(100, '[') + "tru" + std::string(100, ']') + "}", std::nullopt},
      {nested(1024), std::nullopt},
      {"[tru]", std::nullopt},
      {R"({"connections":[nul]})", std::nullopt},
      {R"({"connections":[falsey]})", std::nullopt},
      {R"({"connections":[01]})", std::nullopt},
      {R"({"connections":[1.]})", std::nullopt},
      {R"({"connections":[-]})", std::nullopt},
      {R"({"connections":[1x]})", std::nullopt},
      {R"({"connections":[1e400]})", std::nullopt},
      {R"({"connections":[)" + big + "x]}", std::nullopt},
      {R"({"connections":[1 2]})", std::nullopt},
      {R"({"connections":[1,]})", std::nullopt},
      {R"({"connections":[1]]})", std::nullopt},
      {R"({"connections":[{"a" 1}]})", std::nullopt},
      {R"({"connections":[{"a":1,}]})", std::nullopt},
      {R"({"connections":[{1:1}]})", std::nullopt},
      {R"({"connections":["\x"]})", std::nullopt},
      {R"({"connections":["\ud800"]})", std::nullopt},
      {R"({"connections":[{"\q":1}]})", std::nullopt},
      {"{\"connections\":[\"a\x01\"]}", std::nullopt},
      {"{\"connections\":[\"\xff\"]}", std::nullopt},
      {"{\"connections\":[\"\xc3\"]}", std::nullopt},
      {R"({"connections":[{}})", std::nullopt},
      {R"({"connections":[{}]})", TrafficTotals{}},
      {R"({"a":{"b":1})", std::nullopt},
      {R"({"a":1}])", std::nullopt},
      {std::string("{\"a\":1}\0", 8), std::nullopt},
      {R"({"a":"unclosed})", std::nullopt},
      {R"({"a":1)", std::nullopt},
      {"   ", std::nullopt},
  };
  ConnectionsTotalsReader dom(SIZE_MAX);
  ConnectionsTotalsReader onDemand(0);
  for (const auto& [body, totals] : cases) {
    const Result expected =
        totals ? Result{Outcome::kTotals, *totals} : Result{Outcome::kNotJson, {}};
    EXPECT_EQ(readWith(dom, body), expected) << "DOM: " << body.substr(0, 80);
    EXPECT_EQ(readWith(onDemand, body), expected) << "On-Demand: " << body.substr(0, 80);
  }
  for (const std::string& array :
       {std::string("[]"), "[" + big + "]", std::string(R"([{"a":1}])")}) {
    EXPECT_EQ(readWith(dom, array).outcome, Outcome::kBadReply) << array;
    EXPECT_EQ(readWith(onDemand, array).outcome, Outcome::kBadReply) << array;
  }
  EXPECT_EQ(readWith(onDemand, "[1 2]").outcome, Outcome::kNotJson);
}

}  // namespace
}  // namespace tarq

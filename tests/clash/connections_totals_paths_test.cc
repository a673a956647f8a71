// Wherever a transfer cuts a /connections reply, its reading is the same:
// each body is read whole, and cut in two at every byte, and must be
// accepted or rejected and its totals read as the table says. The cases of
// connections_totals_test.cc cover the totals; these add what only a parser
// of every value can get wrong.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "clash/clash_error.h"
#include "clash/totals_stream.h"

namespace tarq {
namespace {

enum class Outcome { kTotals, kNotJson, kBadReply };

struct Result {
  Outcome outcome;
  TrafficTotals totals;
  friend bool operator==(const Result&, const Result&) = default;
};

Result readWhole(const std::string& body) {
  try {
    return {Outcome::kTotals, TotalsStream::read(body)};
  } catch (const TotalsStreamError&) {
    return {Outcome::kNotJson, {}};
  } catch (const ClashError&) {
    return {Outcome::kBadReply, {}};
  }
}

// The body fed to a TotalsStream in two pieces, the first `cut` bytes long.
Result streamCut(std::string_view body, size_t cut) {
  TotalsStream stream;
  try {
    stream.feed(body.substr(0, cut));
    stream.feed(body.substr(cut));
    return {Outcome::kTotals, stream.finish()};
  } catch (const TotalsStreamError&) {
    return {Outcome::kNotJson, {}};
  } catch (const ClashError&) {
    return {Outcome::kBadReply, {}};
  }
}

std::string nested(size_t levels) {
  return R"({"uploadTotal":3,"x":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
}

// 2^1024 - 2^970: halfway between the largest double and the next power of
// two. It and all above it are beyond the range of a double.
constexpr char kHalfwayBeyondDoubles[] =
    "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797"
    "75872070963302864166928879109465555478519404026306574886715058206819089020007083836762738548"
    "45817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711"
    "559699508093042880177904174497792";

std::string totalOf(const std::string& number) {
  return R"({"uploadTotal":)" + number + "}";
}

TEST(ConnectionsTotalsPathsTest, TheReadingIsTheSameWhereverTheBodyIsCut) {
  const std::string big = "18446744073709551617";
  std::string belowHalfway = kHalfwayBeyondDoubles;
  belowHalfway.back() = '1';
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
      // Past 800 digits only whether a non-zero one follows counts.
      {totalOf(belowHalfway + "." + std::string(900, '9')), TrafficTotals{INT64_MAX, 0}},
      {totalOf(kHalfwayBeyondDoubles + ("." + std::string(900, '0')) + "1"), std::nullopt},
      {totalOf(kHalfwayBeyondDoubles + std::string(".0")), std::nullopt},
      {totalOf("-0." + std::string(900, '0') + "1e-2"), TrafficTotals{}},
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
      {R"({"up\u006coadTotal":5,"downloadTotal\u0000":6,"x":"\ud83d\ude00 \u00e9 \/ \b\f\n\r\t)"
       R"( \\ \"","\u00fcber":"caf)"
       "\xc3\xa9 \xf0\x9f\x98\x80"
       R"(","downloadTotal":true})",
       TrafficTotals{5, 1}},
      {"{\"x\":\"\xe0\x9f\x80\"}", std::nullopt},      // overlong
      {"{\"x\":\"\xed\xa0\x80\"}", std::nullopt},      // a surrogate
      {"{\"x\":\"\xf4\x90\x80\x80\"}", std::nullopt},  // beyond U+10FFFF
      {R"({"x":"\udc00"})", std::nullopt},
      {R"({"x":"\ud800\u0041"})", std::nullopt},
      {R"({"a":{"b":1})", std::nullopt},
      {R"({"a":1}])", std::nullopt},
      {std::string("{\"a\":1}\0", 8), std::nullopt},
      {R"({"a":"unclosed})", std::nullopt},
      {R"({"a":1)", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const auto& [body, totals] : cases) {
    const Result expected =
        totals ? Result{Outcome::kTotals, *totals} : Result{Outcome::kNotJson, {}};
    EXPECT_EQ(readWhole(body), expected) << "whole: " << body.substr(0, 80);
    for (size_t cut = 0; cut <= body.size(); ++cut) {
      EXPECT_EQ(streamCut(body, cut), expected) << "cut at " << cut << ": " << body.substr(0, 80);
    }
  }
  for (const std::string& array :
       {std::string("[]"), "[" + big + "]", std::string(R"([{"a":1}])")}) {
    EXPECT_EQ(readWhole(array).outcome, Outcome::kBadReply) << array;
    for (size_t cut = 0; cut <= array.size(); ++cut) {
      EXPECT_EQ(streamCut(array, cut).outcome, Outcome::kBadReply) << cut << ": " << array;
    }
  }
  EXPECT_EQ(readWhole("[1 2]").outcome, Outcome::kNotJson);
}

}  // namespace
}  // namespace tarq

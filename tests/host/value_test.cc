#include "host/value.h"

#include <gtest/gtest.h>

#include "host/method_result.h"

namespace tarq {
namespace {

TEST(ValueTest, LiteralsKeepTheirCodecTypes) {
  EXPECT_NE(Value("text").get<std::string>(), nullptr);
  EXPECT_EQ(*Value(7).get<int64_t>(), 7);
  EXPECT_EQ(Value(int64_t{1} << 40).get<int64_t>() != nullptr, true);
  EXPECT_TRUE(Value().isNull());
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(true), Value(1));
}

TEST(ValueTest, FindReadsMapEntriesOnly) {
  Value map = ValueMap{{"config", "{}"}, {"clashPort", 9090}};
  ASSERT_NE(map.find("clashPort"), nullptr);
  EXPECT_EQ(*map.find("clashPort"), Value(9090));
  EXPECT_EQ(map.find("missing"), nullptr);
  EXPECT_EQ(Value(ValueList{"config"}).find("config"), nullptr);
  EXPECT_EQ(Value().find("config"), nullptr);
}

TEST(ValueTest, NestedValuesCompareDeeply) {
  Value a = ValueMap{{"list", ValueList{1, "two", ValueMap{{"x", 2.5}}}}};
  Value b = ValueMap{{"list", ValueList{1, "two", ValueMap{{"x", 2.5}}}}};
  Value c = ValueMap{{"list", ValueList{1, "two", ValueMap{{"x", 2.0}}}}};
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(ValueTest, DescribeGivesCompactJsonAndSurvivesBadText) {
  Value event = ValueMap{{"type", "status"}, {"since", 12},     {"up", 1.5},
                         {"ok", true},       {"none", Value()}, {"l", ValueList{"a\"b"}}};
  EXPECT_EQ(describe(event),
            R"({"l":["a\"b"],"none":null,"ok":true,"since":12,"type":"status","up":1.5})");
  EXPECT_EQ(describe(Value(std::string("\xff"))), "\"\xEF\xBF\xBD\"");
}

TEST(MethodResultTest, AnswersOnceAndDescribesEveryKindOfResponse) {
  std::vector<std::string> seen;
  MethodResultFunction result([&](MethodResponse response) { seen.push_back(describe(response)); });
  result.error("bad_args", "start requires a config");
  EXPECT_TRUE(result.answered());
  EXPECT_FALSE(result.answer(Value("late")));
  EXPECT_EQ(seen,
            std::vector<std::string>{"error \"bad_args\": start requires a config (details null)"});
  EXPECT_EQ(describe(MethodResponse(NotImplemented{})), "not implemented");
}

}  // namespace
}  // namespace tarq

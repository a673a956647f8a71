#include "host/value.h"

#include <gtest/gtest.h>

namespace tarq {
namespace {

TEST(ValueTest, KeepsCodecTypesFindsMapEntriesAndComparesDeeply) {
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(true), Value(1));
  auto map = [](double x) {
    return Value(ValueMap{{"port", 9090}, {"l", ValueList{ValueMap{{"x", x}}}}});
  };
  EXPECT_EQ(*map(2.5).find("port"), Value(9090));
  EXPECT_EQ(Value(ValueList{"port"}).find("port"), nullptr);
  EXPECT_EQ(map(2.5), map(2.5));
  EXPECT_NE(map(2.5), map(2.0));
}

TEST(ValueTest, DescribesAsCompactJsonAndSurvivesBadText) {
  Value event = ValueMap{{"type", "status"}, {"since", 12},     {"up", 1.5},
                         {"ok", true},       {"none", Value()}, {"l", ValueList{"a\"b"}}};
  EXPECT_EQ(describe(event),
            R"({"l":["a\"b"],"none":null,"ok":true,"since":12,"type":"status","up":1.5})");
  EXPECT_EQ(describe(Value(std::string("\xff"))), "\"\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace tarq

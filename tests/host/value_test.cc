#include "host/value.h"

#include <gtest/gtest.h>

namespace tarq {
namespace {

TEST(ValueTest, KeepsCodecTypesComparesDeeplyAndDescribesBadTextWithoutThrowing) {
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(true), Value(1));
  auto map = [](double x) {
    return Value(ValueMap{{"port", 9090}, {"l", ValueList{ValueMap{{"x", x}}}}});
  };
  EXPECT_EQ(*map(2.5).find("port"), Value(9090));
  EXPECT_EQ(Value(ValueList{"port"}).find("port"), nullptr);
  EXPECT_EQ(map(2.5), map(2.5));
  EXPECT_NE(map(2.5), map(2.0));
  EXPECT_EQ(describe(ValueList{std::string("\xff"), Value()}), "[\"\xEF\xBF\xBD\",null]");
}

}  // namespace
}  // namespace tarq

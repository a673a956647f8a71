// The translation rules of the macOS bridge, run against a fake of the
// Foundation objects that the Flutter embedding hands a plug-in.
#include "macos/Classes/foundation_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarq::macos {
namespace {

using std::string_literals::operator""s;

// One Foundation object: NSNull, an NSNumber (a CFBoolean or not, with its
// objCType), NSString, NSArray, NSDictionary, or another class.
struct FakeObject;
using Ref = std::shared_ptr<const FakeObject>;

struct FakeObject {
  ObjectKind kind = ObjectKind::kNull;
  bool cfBoolean = false;
  std::string objCType;  // "c" for BOOL and char, "q", "d", "f", ...
  int64_t integer = 0;
  double floating = 0;
  std::string text;
  std::vector<Ref> elements;
  std::vector<std::pair<Ref, Ref>> entries;
};

std::shared_ptr<FakeObject> object(ObjectKind kind) {
  auto made = std::make_shared<FakeObject>();
  made->kind = kind;
  return made;
}

Ref number(std::string objCType, int64_t integer, double floating = 0, bool cfBoolean = false) {
  auto made = object(ObjectKind::kNumber);
  made->objCType = std::move(objCType);
  made->integer = integer;
  made->floating = floating;
  made->cfBoolean = cfBoolean;
  return made;
}

Ref string(std::string_view text) {
  auto made = object(ObjectKind::kString);
  made->text = std::string(text);
  return made;
}

struct FakeModel {
  using Object = Ref;

  static ObjectKind kind(const Ref& item) { return item ? item->kind : ObjectKind::kNull; }
  static bool isBooleanNumber(const Ref& item) { return item->cfBoolean; }
  static const char* numberType(const Ref& item) { return item->objCType.c_str(); }
  static bool booleanValue(const Ref& item) { return item->integer != 0; }
  static int64_t integerValue(const Ref& item) { return item->integer; }
  static double doubleValue(const Ref& item) { return item->floating; }
  static std::string stringValue(const Ref& item) { return item->text; }

  template <typename F>
  static void forEachElement(const Ref& list, F&& visit) {
    for (const Ref& element : list->elements) {
      visit(element);
    }
  }
  template <typename F>
  static void forEachEntry(const Ref& map, F&& visit) {
    for (const auto& [key, element] : map->entries) {
      visit(key, element);
    }
  }

  static Ref makeNull() { return object(ObjectKind::kNull); }
  // NSNumber numberWithBool: gives a CFBoolean, whose objCType is "c".
  static Ref makeBoolean(bool value) { return number("c", value ? 1 : 0, 0, true); }
  static Ref makeInteger(int64_t value) { return number("q", value); }
  static Ref makeDouble(double value) { return number("d", 0, value); }
  static Ref makeString(std::string_view text) {
    EXPECT_TRUE(isWellFormedUtf8(text)) << "Foundation makes no string of these bytes";
    return string(text);
  }
  static Ref makeList(std::vector<Ref> elements) {
    auto made = object(ObjectKind::kList);
    made->elements = std::move(elements);
    return made;
  }
  static Ref makeMap(std::vector<std::pair<Ref, Ref>> entries) {
    auto made = object(ObjectKind::kMap);
    made->entries = std::move(entries);
    return made;
  }
};

using Translation = ValueTranslation<FakeModel>;

Ref other() {
  return object(ObjectKind::kOther);
}

TEST(FoundationValueTest, BooleansIntegersAndDoublesStayApart) {
  EXPECT_EQ(Translation::toValue(FakeModel::makeBoolean(true)), Value(true));
  EXPECT_EQ(Translation::toValue(FakeModel::makeBoolean(false)), Value(false));
  // A char-typed number that is no CFBoolean is an integer, not a Boolean.
  EXPECT_EQ(Translation::toValue(number("c", 1)), Value(int64_t{1}));
  EXPECT_EQ(Translation::toValue(number("i", 8080)), Value(int64_t{8080}));
  EXPECT_EQ(Translation::toValue(number("q", -5)), Value(int64_t{-5}));
  EXPECT_EQ(Translation::toValue(number("d", 0, 1.0)), Value(1.0));
  EXPECT_EQ(Translation::toValue(number("f", 0, 0.5)), Value(0.5));

  const Ref yes = Translation::toObject(Value(true));
  EXPECT_TRUE(yes->cfBoolean);
  const Ref one = Translation::toObject(Value(int64_t{1}));
  EXPECT_FALSE(one->cfBoolean);
  EXPECT_EQ(one->objCType, "q");
  EXPECT_EQ(Translation::toObject(Value(1.0))->objCType, "d");
}

TEST(FoundationValueTest, ExtremeIntegersSurviveBothWays) {
  for (int64_t extreme :
       {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    EXPECT_EQ(Translation::toValue(Translation::toObject(Value(extreme))), Value(extreme));
  }
}

TEST(FoundationValueTest, NilAndNSNullAreNull) {
  EXPECT_TRUE(Translation::toValue(nullptr).isNull());
  EXPECT_TRUE(Translation::toValue(FakeModel::makeNull()).isNull());
  // At the top level null is nil; inside a collection it is NSNull.
  EXPECT_EQ(Translation::toTopLevelObject(Value()), nullptr);
  const Ref list = Translation::toTopLevelObject(Value(ValueList{Value()}));
  ASSERT_EQ(list->elements.size(), 1u);
  ASSERT_NE(list->elements[0], nullptr);
  EXPECT_EQ(list->elements[0]->kind, ObjectKind::kNull);
}

TEST(FoundationValueTest, StartArgumentsRoundTrip) {
  const Value arguments(ValueMap{
      {"config", Value("{\"log\":{}}")},
      {"selected", Value("proxy-1")},
      {"clashPort", Value(int64_t{9090})},
      {"clashSecret", Value("")},
      {"nested", Value(ValueList{Value(true), Value(2.5), Value(), Value(ValueMap{})})},
  });
  EXPECT_EQ(Translation::toValue(Translation::toObject(arguments)), arguments);
}

TEST(FoundationValueTest, MapWithANonStringKeyIsNoStringKeyedMap) {
  const Ref map =
      FakeModel::makeMap({{string("config"), string("{}")}, {number("q", 1), string("x")}});
  EXPECT_TRUE(Translation::toValue(map).isNull());
  // Inside a list only that element is lost.
  const Ref list = FakeModel::makeList({map, string("kept")});
  EXPECT_EQ(Translation::toValue(list), Value(ValueList{Value(), Value("kept")}));
}

TEST(FoundationValueTest, ObjectsOfOtherClassesAreNull) {
  EXPECT_TRUE(Translation::toValue(other()).isNull());
  const Ref map = FakeModel::makeMap({{string("config"), other()}, {string("tag"), string("a")}});
  EXPECT_EQ(Translation::toValue(map), Value(ValueMap{{"config", Value()}, {"tag", Value("a")}}));
}

TEST(FoundationValueTest, StringsKeepEveryByte) {
  const std::string text = "caf\xC3\xA9 \xF0\x9F\x9A\x80 a\0b"s;
  EXPECT_EQ(Translation::toValue(string(text)), Value(text));
  EXPECT_EQ(Translation::toObject(Value(text))->text, text);
}

TEST(FoundationValueTest, IllFormedUtf8FromTheCoreIsRepaired) {
  // A truncated sequence, a lone continuation byte and a surrogate, in a key
  // and in a value: each maximal ill-formed part becomes one U+FFFD.
  const std::string bad = "a\xE2\x82 b\x80 c\xED\xA0\x80";
  const Ref map = Translation::toObject(Value(ValueMap{{bad, Value(bad)}}));
  const std::string repaired = "a\xEF\xBF\xBD b\xEF\xBF\xBD c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
  ASSERT_EQ(map->entries.size(), 1u);
  EXPECT_EQ(map->entries[0].first->text, repaired);
  EXPECT_EQ(map->entries[0].second->text, repaired);
}

TEST(FoundationValueTest, Utf8WellFormednessFollowsUnicode) {
  EXPECT_TRUE(isWellFormedUtf8(""));
  EXPECT_TRUE(
      isWellFormedUtf8("\x7F\xC2\x80\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(isWellFormedUtf8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(isWellFormedUtf8("\xE0\x9F\xBF"));      // overlong three-byte form
  EXPECT_FALSE(isWellFormedUtf8("\xED\xBF\xBF"));      // surrogate
  EXPECT_FALSE(isWellFormedUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isWellFormedUtf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(isWellFormedUtf8("\xF0\x9F\x9A"));  // truncated at the end
  EXPECT_EQ(wellFormedUtf8("\xF0\x9F\x9A!"), "\xEF\xBF\xBD!");
  EXPECT_EQ(wellFormedUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tarq::macos

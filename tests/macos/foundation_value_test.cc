// The translation rules of the macOS bridge, run against a fake of the
// Foundation objects that the Flutter embedding hands a plug-in.
#include "macos/Classes/foundation_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>

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

struct FakeModel {
  using Object = Ref;

  static Ref make(FakeObject made) { return std::make_shared<const FakeObject>(std::move(made)); }
  static Ref number(std::string objCType, int64_t integer, double floating = 0, bool cf = false) {
    return make({ObjectKind::kNumber, cf, std::move(objCType), integer, floating});
  }
  static Ref string(std::string_view text) {
    return make({.kind = ObjectKind::kString, .text = std::string(text)});
  }
  static Ref other() { return make({.kind = ObjectKind::kOther}); }

  static ObjectKind kind(const Ref& item) { return item ? item->kind : ObjectKind::kNull; }
  static bool isBooleanNumber(const Ref& item) { return item->cfBoolean; }
  static const char* numberType(const Ref& item) { return item->objCType.c_str(); }
  static bool booleanValue(const Ref& item) { return item->integer != 0; }
  static int64_t integerValue(const Ref& item) { return item->integer; }
  static double doubleValue(const Ref& item) { return item->floating; }
  static std::string stringValue(const Ref& item) { return item->text; }
  template <typename F>
  static void forEachElement(const Ref& list, F&& visit) {
    std::for_each(list->elements.begin(), list->elements.end(), visit);
  }
  template <typename F>
  static void forEachEntry(const Ref& map, F&& visit) {
    for (const auto& [key, element] : map->entries) {
      visit(key, element);
    }
  }

  static Ref makeNull() { return make({}); }
  // NSNumber numberWithBool: gives a CFBoolean, whose objCType is "c".
  static Ref makeBoolean(bool value) { return number("c", value ? 1 : 0, 0, true); }
  static Ref makeInteger(int64_t value) { return number("q", value); }
  static Ref makeDouble(double value) { return number("d", 0, value); }
  static Ref makeString(std::string_view text) {
    EXPECT_TRUE(isWellFormedUtf8(text)) << "Foundation makes no string of these bytes";
    return string(text);
  }
  static Ref makeList(std::vector<Ref> list) {
    return make({.kind = ObjectKind::kList, .elements = std::move(list)});
  }
  static Ref makeMap(std::vector<std::pair<Ref, Ref>> map) {
    return make({.kind = ObjectKind::kMap, .entries = std::move(map)});
  }
};

// Deriving from the model lets each case build objects without qualification.
class FoundationValueTest : public ::testing::Test, public FakeModel {
 protected:
  using Translation = ValueTranslation<FakeModel>;
};

TEST_F(FoundationValueTest, BooleansIntegersAndDoublesStayApart) {
  const std::pair<Ref, Value> cases[] = {
      {makeBoolean(true), Value(true)},
      {makeBoolean(false), Value(false)},
      // A char-typed number that is no CFBoolean is an integer, not a Boolean.
      {number("c", 1), Value(int64_t{1})},
      {number("i", 8080), Value(int64_t{8080})},
      {number("d", 0, 1.0), Value(1.0)},
      {number("f", 0, 0.5), Value(0.5)},
  };
  for (const auto& [object, value] : cases) {
    EXPECT_EQ(Translation::toValue(object), value) << describe(value);
  }
  EXPECT_TRUE(Translation::toObject(Value(true))->cfBoolean);
  const Ref one = Translation::toObject(Value(int64_t{1}));
  EXPECT_FALSE(one->cfBoolean);
  EXPECT_EQ(one->objCType, "q");
  EXPECT_EQ(Translation::toObject(Value(1.0))->objCType, "d");
}

TEST_F(FoundationValueTest, ArgumentsRoundTrip) {
  const Value arguments(ValueMap{
      {"config", Value("{\"log\":{}}")},
      {"clashPort", Value(int64_t{9090})},
      {"extremes", Value(ValueList{Value(std::numeric_limits<int64_t>::min()),
                                   Value(std::numeric_limits<int64_t>::max())})},
      {"nested", Value(ValueList{Value(true), Value(2.5), Value(), Value(ValueMap{})})},
      {"bytes", Value("caf\xC3\xA9 \xF0\x9F\x9A\x80 a\0b"s)},
  });
  EXPECT_EQ(Translation::toValue(Translation::toObject(arguments)), arguments);
}

TEST_F(FoundationValueTest, NullAndWhatCannotBeTranslatedBecomeNull) {
  EXPECT_TRUE(Translation::toValue(nullptr).isNull());
  EXPECT_TRUE(Translation::toValue(makeNull()).isNull());
  // At the top level null is nil; inside a collection it is NSNull.
  EXPECT_EQ(Translation::toTopLevelObject(Value()), nullptr);
  const Ref list = Translation::toTopLevelObject(Value(ValueList{Value()}));
  ASSERT_EQ(list->elements.size(), 1u);
  ASSERT_NE(list->elements[0], nullptr);
  EXPECT_EQ(list->elements[0]->kind, ObjectKind::kNull);

  // An object of another class, or a map with a key that is no string, is
  // null; inside a collection only that element is lost.
  const Ref badMap = makeMap({{string("config"), string("{}")}, {number("q", 1), string("x")}});
  EXPECT_EQ(Translation::toValue(makeList({badMap, other(), string("kept")})),
            Value(ValueList{Value(), Value(), Value("kept")}));
  const Ref map = makeMap({{string("config"), other()}, {string("tag"), string("a")}});
  EXPECT_EQ(Translation::toValue(map), Value(ValueMap{{"config", Value()}, {"tag", Value("a")}}));
}

TEST_F(FoundationValueTest, IllFormedUtf8FromTheCoreIsRepaired) {
  // A truncated sequence, a lone continuation byte and a surrogate, in a key
  // and in a value: each maximal ill-formed part becomes one U+FFFD.
  const std::string bad = "a\xE2\x82 b\x80 c\xED\xA0\x80";
  const Ref map = Translation::toObject(Value(ValueMap{{bad, Value(bad)}}));
  const std::string repaired = "a\xEF\xBF\xBD b\xEF\xBF\xBD c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
  ASSERT_EQ(map->entries.size(), 1u);
  EXPECT_EQ(map->entries[0].first->text, repaired);
  EXPECT_EQ(map->entries[0].second->text, repaired);
  EXPECT_EQ(wellFormedUtf8("\xF0\x9F\x9A!"), "\xEF\xBF\xBD!");
  EXPECT_EQ(wellFormedUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");

  EXPECT_TRUE(
      isWellFormedUtf8("\x7F\xC2\x80\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  for (const char* ill : {"\xC0\x80",          // overlong NUL
                          "\xE0\x9F\xBF",      // overlong three-byte form
                          "\xED\xBF\xBF",      // surrogate
                          "\xF4\x90\x80\x80",  // above U+10FFFF
                          "\xF5\x80\x80\x80",  //
                          "\xF0\x9F\x9A"}) {   // truncated at the end
    EXPECT_FALSE(isWellFormedUtf8(ill)) << ill;
  }
}

}  // namespace
}  // namespace tarq::macos

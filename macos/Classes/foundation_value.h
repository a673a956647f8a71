// Translation between tarq::Value and the objects through which the Flutter
// embedding on macOS carries the values of the standard codec: NSNull,
// NSNumber (CFBoolean for true and false), NSString, NSArray and
// NSDictionary.
//
// The rules are written once, over an object model, so that they run on
// Linux against a fake model in the tests and on macOS against Foundation
// (foundation_objects.mm). This header is plain C++.
//
// The rules:
// - nil and NSNull are null.
// - Booleans, integers and doubles stay apart. A CFBoolean is a Boolean,
//   whatever its objCType says (BOOL is a char, so an NSNumber made from a
//   char is not a Boolean); a number whose objCType is "f" or "d" is a
//   double; every other number is a 64-bit integer.
// - Strings cross as UTF-8. Text from the core that is not well-formed UTF-8
//   has each ill-formed sequence replaced by U+FFFD, since Foundation makes no
//   string of such bytes and a missing object would throw inside a
//   collection.
// - A dictionary with a key that is not a string, and an object of any other
//   class (typed data, say), have no Value counterpart: they become null, so
//   that an argument of that shape reads as missing or mistyped, never as a
//   string-keyed map.
//
// A model is a type with these static members; Object is a copyable handle
// (id on macOS):
//
//   using Object = ...;
//   ObjectKind kind(const Object&);                 // nil and NSNull: kNull
//   bool isBooleanNumber(const Object&);            // a CFBoolean
//   const char* numberType(const Object&);          // -[NSValue objCType]
//   bool booleanValue(const Object&);
//   int64_t integerValue(const Object&);
//   double doubleValue(const Object&);
//   std::string stringValue(const Object&);         // UTF-8
//   void forEachElement(const Object& list, F f);   // f(const Object&)
//   void forEachEntry(const Object& map, F f);      // f(key, value)
//   Object makeNull();                              // NSNull
//   Object makeBoolean(bool);
//   Object makeInteger(int64_t);
//   Object makeDouble(double);
//   Object makeString(std::string_view);            // always well-formed UTF-8
//   Object makeList(std::vector<Object>);
//   Object makeMap(std::vector<std::pair<Object, Object>>);
//
// Thread safety: the functions keep no state; they are as thread-safe as the
// model's objects.
#ifndef TARQ_MACOS_CLASSES_FOUNDATION_VALUE_H_
#define TARQ_MACOS_CLASSES_FOUNDATION_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/value.h"

namespace tarq::macos {

enum class ObjectKind { kNull, kNumber, kString, kList, kMap, kOther };

enum class NumberKind { kBoolean, kInteger, kDouble };

// What a number object holds, from whether it is a CFBoolean and from its
// Objective-C type encoding (which may be null).
inline NumberKind classifyNumber(bool isBoolean, const char* objCType) {
  if (isBoolean) {
    return NumberKind::kBoolean;
  }
  const std::string_view type = objCType == nullptr ? std::string_view() : objCType;
  if (type == "f" || type == "d") {
    return NumberKind::kDouble;
  }
  return NumberKind::kInteger;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes` (1 to
// 4), or, negated, the length of its maximal ill-formed subpart, which is
// replaced by one U+FFFD. `bytes` must not be empty.
inline int utf8SequenceLength(std::string_view bytes) {
  const auto byteAt = [bytes](size_t index) { return static_cast<unsigned char>(bytes[index]); };
  const unsigned char lead = byteAt(0);
  if (lead < 0x80) {
    return 1;
  }
  int length = 0;
  unsigned char low = 0x80;  // range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;  // no overlong forms
  } else if (lead == 0xED) {
    length = 3;
    high = 0x9F;  // no surrogates
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;  // no overlong forms
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int index = 1; index < length; ++index) {
    const size_t position = static_cast<size_t>(index);
    if (position >= bytes.size()) {
      return -index;
    }
    const unsigned char next = byteAt(position);
    const unsigned char min = index == 1 ? low : 0x80;
    const unsigned char max = index == 1 ? high : 0xBF;
    if (next < min || next > max) {
      return -index;
    }
  }
  return length;
}

inline bool isWellFormedUtf8(std::string_view bytes) {
  size_t position = 0;
  while (position < bytes.size()) {
    const int length = utf8SequenceLength(bytes.substr(position));
    if (length < 0) {
      return false;
    }
    position += static_cast<size_t>(length);
  }
  return true;
}

// `bytes` with each maximal ill-formed subpart replaced by U+FFFD.
inline std::string wellFormedUtf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  size_t position = 0;
  while (position < bytes.size()) {
    const int length = utf8SequenceLength(bytes.substr(position));
    if (length > 0) {
      text.append(bytes.substr(position, static_cast<size_t>(length)));
      position += static_cast<size_t>(length);
    } else {
      text.append(kReplacement);
      position += static_cast<size_t>(-length);
    }
  }
  return text;
}

template <typename Model>
class ValueTranslation {
 public:
  using Object = typename Model::Object;

  // The Value of a Foundation object; null for nil.
  static Value toValue(const Object& object) {
    switch (Model::kind(object)) {
      case ObjectKind::kNull:
        return Value();
      case ObjectKind::kNumber:
        return numberValue(object);
      case ObjectKind::kString:
        return Value(Model::stringValue(object));
      case ObjectKind::kList:
        return listValue(object);
      case ObjectKind::kMap:
        return mapValue(object);
      case ObjectKind::kOther:
        return Value();
    }
    return Value();
  }

  // The object of a Value, for use inside a collection: null is NSNull.
  static Object toObject(const Value& value) { return std::visit(ObjectMaker{}, value.variant()); }

  // The object of a whole result, event or error details: null is nil, which
  // the codec sends as null.
  static Object toTopLevelObject(const Value& value) {
    return value.isNull() ? Object() : toObject(value);
  }

  // A string object of `text`, repaired if it is not well-formed UTF-8.
  static Object toStringObject(std::string_view text) {
    if (isWellFormedUtf8(text)) {
      return Model::makeString(text);
    }
    return Model::makeString(wellFormedUtf8(text));
  }

 private:
  struct ObjectMaker {
    Object operator()(std::monostate) const { return Model::makeNull(); }
    Object operator()(bool boolean) const { return Model::makeBoolean(boolean); }
    Object operator()(int64_t integer) const { return Model::makeInteger(integer); }
    Object operator()(double number) const { return Model::makeDouble(number); }
    Object operator()(const std::string& text) const { return toStringObject(text); }
    Object operator()(const ValueList& list) const {
      std::vector<Object> elements;
      elements.reserve(list.size());
      for (const Value& element : list) {
        elements.push_back(toObject(element));
      }
      return Model::makeList(std::move(elements));
    }
    Object operator()(const ValueMap& map) const {
      std::vector<std::pair<Object, Object>> entries;
      entries.reserve(map.size());
      for (const auto& [key, element] : map) {
        entries.emplace_back(toStringObject(key), toObject(element));
      }
      return Model::makeMap(std::move(entries));
    }
  };

  static Value numberValue(const Object& number) {
    switch (classifyNumber(Model::isBooleanNumber(number), Model::numberType(number))) {
      case NumberKind::kBoolean:
        return Value(Model::booleanValue(number));
      case NumberKind::kDouble:
        return Value(Model::doubleValue(number));
      case NumberKind::kInteger:
        return Value(Model::integerValue(number));
    }
    return Value();
  }

  static Value listValue(const Object& list) {
    ValueList elements;
    Model::forEachElement(
        list, [&elements](const Object& element) { elements.push_back(toValue(element)); });
    return Value(std::move(elements));
  }

  static Value mapValue(const Object& map) {
    ValueMap entries;
    bool stringKeyed = true;
    Model::forEachEntry(map, [&](const Object& key, const Object& element) {
      if (!stringKeyed) {
        return;
      }
      if (Model::kind(key) != ObjectKind::kString) {
        stringKeyed = false;
        return;
      }
      entries.insert_or_assign(Model::stringValue(key), toValue(element));
    });
    return stringKeyed ? Value(std::move(entries)) : Value();
  }
};

}  // namespace tarq::macos

#endif  // TARQ_MACOS_CLASSES_FOUNDATION_VALUE_H_

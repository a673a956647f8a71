#import "foundation_objects.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "foundation_value.h"

namespace tarq::macos {
namespace {

// Foundation as the object model of ValueTranslation.
struct FoundationModel {
  using Object = id;

  static ObjectKind kind(id object) {
    if (object == nil || [object isKindOfClass:[NSNull class]]) {
      return ObjectKind::kNull;
    }
    if ([object isKindOfClass:[NSNumber class]]) {
      return ObjectKind::kNumber;
    }
    if ([object isKindOfClass:[NSString class]]) {
      return ObjectKind::kString;
    }
    if ([object isKindOfClass:[NSArray class]]) {
      return ObjectKind::kList;
    }
    if ([object isKindOfClass:[NSDictionary class]]) {
      return ObjectKind::kMap;
    }
    return ObjectKind::kOther;
  }

  // true and false reach a plug-in as the two CFBoolean instances; their
  // objCType is "c", like that of any char.
  static bool isBooleanNumber(id object) {
    return CFGetTypeID((__bridge CFTypeRef)object) == CFBooleanGetTypeID();
  }

  static const char* numberType(id object) {
    NSNumber* number = object;
    return number.objCType;
  }

  static bool booleanValue(id object) {
    NSNumber* number = object;
    return number.boolValue;
  }

  static int64_t integerValue(id object) {
    NSNumber* number = object;
    return static_cast<int64_t>(number.longLongValue);
  }

  static double doubleValue(id object) {
    NSNumber* number = object;
    return number.doubleValue;
  }

  static std::string stringValue(id object) { return utf8String(object); }

  template <typename F>
  static void forEachElement(id object, F&& visit) {
    NSArray* array = object;
    const NSUInteger count = array.count;
    for (NSUInteger index = 0; index < count; ++index) {
      visit([array objectAtIndex:index]);
    }
  }

  template <typename F>
  static void forEachEntry(id object, F&& visit) {
    NSDictionary* dictionary = object;
    NSArray* keys = dictionary.allKeys;
    const NSUInteger count = keys.count;
    for (NSUInteger index = 0; index < count; ++index) {
      id key = [keys objectAtIndex:index];
      visit(key, [dictionary objectForKey:key]);
    }
  }

  static id makeNull() { return [NSNull null]; }
  static id makeBoolean(bool value) { return [NSNumber numberWithBool:value ? YES : NO]; }
  static id makeInteger(int64_t value) { return [NSNumber numberWithLongLong:value]; }
  static id makeDouble(double value) { return [NSNumber numberWithDouble:value]; }

  static id makeString(std::string_view text) {
    NSString* string = [[NSString alloc] initWithBytes:text.data()
                                                length:text.size()
                                              encoding:NSUTF8StringEncoding];
    // Only ill-formed UTF-8 is refused, and the translation repairs it first.
    return string != nil ? string : @"";
  }

  static id makeList(std::vector<id> elements) {
    NSMutableArray* array = [NSMutableArray arrayWithCapacity:elements.size()];
    for (id element : elements) {
      [array addObject:element];
    }
    return array;
  }

  static id makeMap(std::vector<std::pair<id, id>> entries) {
    NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:entries.size()];
    for (auto& [key, element] : entries) {
      [dictionary setObject:element forKey:key];
    }
    return dictionary;
  }
};

using FoundationTranslation = ValueTranslation<FoundationModel>;

}  // namespace

Value valueFromObject(id object) { return FoundationTranslation::toValue(object); }

id objectFromValue(const Value& value) { return FoundationTranslation::toTopLevelObject(value); }

NSString* stringObject(std::string_view text) {
  return FoundationTranslation::toStringObject(text);
}

std::string utf8String(NSString* string) {
  if (string == nil) {
    return std::string();
  }
  // Lossy only for unpaired surrogates, which UTF-8 cannot carry.
  NSData* data = [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
  if (data == nil) {
    return std::string();
  }
  return std::string(static_cast<const char*>(data.bytes), data.length);
}

}  // namespace tarq::macos

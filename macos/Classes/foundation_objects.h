// Foundation objects of the standard codec <-> tarq::Value, by the rules of
// foundation_value.h, and the UTF-8 <-> NSString conversions the bridge uses.
//
// Thread safety: every function may be called from any thread.
#ifndef TARQ_MACOS_CLASSES_FOUNDATION_OBJECTS_H_
#define TARQ_MACOS_CLASSES_FOUNDATION_OBJECTS_H_

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

#include "host/value.h"

NS_ASSUME_NONNULL_BEGIN

namespace tarq::macos {

// The Value of a method call's arguments or a listener's arguments.
Value valueFromObject(id _Nullable object);

// The object of a result, an event or error details; nil for null.
id _Nullable objectFromValue(const Value& value);

// Never nil: ill-formed UTF-8 is repaired with U+FFFD.
NSString* stringObject(std::string_view text);

// The UTF-8 bytes of `string`; empty for nil.
std::string utf8String(NSString* _Nullable string);

}  // namespace tarq::macos

NS_ASSUME_NONNULL_END

#endif  // TARQ_MACOS_CLASSES_FOUNDATION_OBJECTS_H_

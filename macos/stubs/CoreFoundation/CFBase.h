// Stub of <CoreFoundation/CFBase.h>: the base types, the allocator, the
// reference counting and the annotation macros that other Core Foundation and
// Security framework headers are written with.
#ifndef TARQ_STUB_COREFOUNDATION_CFBASE_H_
#define TARQ_STUB_COREFOUNDATION_CFBASE_H_

#include <MacTypes.h>

#ifdef __cplusplus
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#define CF_EXPORT extern "C"
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#define CF_EXPORT extern
#endif

#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#define CF_RETURNS_RETAINED __attribute__((cf_returns_retained))
#define CF_BRIDGED_TYPE(T) __attribute__((objc_bridge(T)))
#define CF_ENUM(_type, ...) enum : _type
#define CF_OPTIONS(_type, _name) \
  _type _name;                   \
  enum : _type

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef const void* CFTypeRef;
typedef const struct CF_BRIDGED_TYPE(NSString) __CFString* CFStringRef;
typedef const struct CF_BRIDGED_TYPE(id) __CFAllocator* CFAllocatorRef;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

extern const CFAllocatorRef kCFAllocatorDefault;

CFTypeID CFGetTypeID(CFTypeRef cf);
void CFRelease(CFTypeRef cf);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFBASE_H_

// Stub of <CoreFoundation/CFDictionary.h>: immutable dictionaries with the
// standard callbacks for Core Foundation keys and values.
#ifndef TARQ_STUB_COREFOUNDATION_CFDICTIONARY_H_
#define TARQ_STUB_COREFOUNDATION_CFDICTIONARY_H_

#include <CoreFoundation/CFBase.h>

typedef const struct CF_BRIDGED_TYPE(NSDictionary) __CFDictionary* CFDictionaryRef;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

typedef const void* _Nonnull (*CFDictionaryRetainCallBack)(CFAllocatorRef _Nullable allocator,
                                                           const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef _Nullable allocator, const void* value);
typedef CFStringRef _Nullable (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef unsigned long (*CFDictionaryHashCallBack)(const void* value);

typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack _Nullable retain;
  CFDictionaryReleaseCallBack _Nullable release;
  CFDictionaryCopyDescriptionCallBack _Nullable copyDescription;
  CFDictionaryEqualCallBack _Nullable equal;
  CFDictionaryHashCallBack _Nullable hash;
} CFDictionaryKeyCallBacks;

typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack _Nullable retain;
  CFDictionaryReleaseCallBack _Nullable release;
  CFDictionaryCopyDescriptionCallBack _Nullable copyDescription;
  CFDictionaryEqualCallBack _Nullable equal;
} CFDictionaryValueCallBacks;

extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef _Nullable allocator,
                                   const void* _Nullable* _Nullable keys,
                                   const void* _Nullable* _Nullable values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* _Nullable keyCallBacks,
                                   const CFDictionaryValueCallBacks* _Nullable valueCallBacks);
const void* _Nullable CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFDICTIONARY_H_

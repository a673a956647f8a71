// Stub of <objc/NSObject.h>: the root class and the NSObject protocol, as far
// as the bridge uses them.
#ifndef TARQ_STUB_OBJC_NSOBJECT_H_
#define TARQ_STUB_OBJC_NSOBJECT_H_

typedef signed char BOOL;
#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#ifdef __cplusplus
#define nil nullptr
#else
#define nil ((id)0)
#endif
#endif

@class NSString;

@protocol NSObject
- (BOOL)isKindOfClass:(Class)aClass;
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
+ (instancetype)new;
+ (Class)class;
- (instancetype)init;
@end

#endif  // TARQ_STUB_OBJC_NSOBJECT_H_

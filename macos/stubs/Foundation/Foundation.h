// Stub of <Foundation/Foundation.h>: the classes, methods, functions and
// constants of Foundation that the bridge uses, declared as Apple documents
// them. Foundation brings Core Foundation and Dispatch with it, as the SDK's
// umbrella header does.
#ifndef TARQ_STUB_FOUNDATION_H_
#define TARQ_STUB_FOUNDATION_H_

#import <CoreFoundation/CoreFoundation.h>
#import <dispatch/dispatch.h>
#import <objc/NSObject.h>

#define NS_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define NS_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#define NS_UNAVAILABLE __attribute__((unavailable))
#define NS_DESIGNATED_INITIALIZER __attribute__((objc_designated_initializer))
#define NS_FORMAT_FUNCTION(F, A) __attribute__((format(__NSString__, F, A)))
#define NS_RETURNS_INNER_POINTER __attribute__((objc_returns_inner_pointer))
#define NS_SWIFT_SENDING __attribute__((swift_attr("sending")))
#define NS_SWIFT_SENDABLE __attribute__((swift_attr("@Sendable")))
#define NS_SWIFT_UI_ACTOR __attribute__((swift_attr("@UIActor")))

// <os/availability.h>, for one platform at a time: API_AVAILABLE(macos(13.0)).
#define API_AVAILABLE(platform_version) TARQ_STUB_AVAILABLE_##platform_version
#define TARQ_STUB_AVAILABLE_macos(version) \
  __attribute__((availability(macos, introduced = version)))
#define TARQ_STUB_AVAILABLE_ios(version) __attribute__((availability(ios, introduced = version)))

// NSObjCRuntime.h defines these function-like macros for every file that
// imports Foundation; an identifier of the bridge followed by "(" must not
// take these names.
#define MIN(A, B) ((A) < (B) ? (A) : (B))
#define MAX(A, B) ((A) > (B) ? (A) : (B))
#define ABS(A) ((A) < 0 ? -(A) : (A))
#ifdef __cplusplus
#define FOUNDATION_EXPORT extern "C"
#else
#define FOUNDATION_EXPORT extern
#endif

typedef long NSInteger;
typedef unsigned long NSUInteger;

// As the SDK spells them for C++: a fixed underlying type, usable before the
// enumerators are listed.
#define NS_ENUM(_type, _name) \
  enum _name : _type _name;   \
  enum _name : _type
#define NS_OPTIONS(_type, _name) NS_ENUM(_type, _name)

NS_ASSUME_NONNULL_BEGIN

@protocol NSCopying
@end

// Strings and bytes.

typedef NSUInteger NSStringEncoding;
enum { NSUTF8StringEncoding = 4 };

@interface NSData : NSObject
@property(readonly) const void* bytes;
@property(readonly) NSUInteger length;
@end

@interface NSString : NSObject <NSCopying>
- (nullable instancetype)initWithBytes:(const void*)bytes
                                length:(NSUInteger)len
                              encoding:(NSStringEncoding)encoding;
- (nullable NSData*)dataUsingEncoding:(NSStringEncoding)encoding allowLossyConversion:(BOOL)lossy;
@property(nullable, readonly) const char* UTF8String NS_RETURNS_INNER_POINTER;
@end

// Values of the standard codec.

@interface NSValue : NSObject <NSCopying>
@property(readonly) const char* objCType __attribute__((objc_returns_inner_pointer));
@end

@interface NSNumber : NSValue
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithLongLong:(long long)value;
+ (NSNumber*)numberWithDouble:(double)value;
@property(readonly) BOOL boolValue;
@property(readonly) long long longLongValue;
@property(readonly) double doubleValue;
@end

@interface NSNull : NSObject <NSCopying>
+ (NSNull*)null;
@end

@interface NSArray<__covariant ObjectType> : NSObject <NSCopying>
@property(readonly) NSUInteger count;
- (ObjectType)objectAtIndex:(NSUInteger)index;
@property(nonatomic, readonly, nullable) ObjectType firstObject;
@end

@interface NSMutableArray<ObjectType> : NSArray <ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

@interface NSDictionary<__covariant KeyType, __covariant ObjectType> : NSObject <NSCopying>
@property(readonly) NSUInteger count;
@property(readonly, copy) NSArray<KeyType>* allKeys;
- (nullable ObjectType)objectForKey:(KeyType)aKey;
@end

@interface NSMutableDictionary<KeyType, ObjectType> : NSDictionary <KeyType, ObjectType>
+ (instancetype)dictionaryWithCapacity:(NSUInteger)numItems;
- (void)setObject:(ObjectType)anObject forKey:(KeyType<NSCopying>)aKey;
@end

// Errors, exceptions and notifications.

@interface NSError : NSObject <NSCopying>
@property(readonly, copy) NSString* localizedDescription;
@end

typedef NSString* NSExceptionName;

@interface NSException : NSObject <NSCopying>
@property(readonly, copy) NSExceptionName name;
@property(nullable, readonly, copy) NSString* reason;
@property(nullable, readonly, copy) NSDictionary* userInfo;
@end

typedef NSString* NSNotificationName;

@interface NSNotification : NSObject <NSCopying>
@property(readonly, copy) NSNotificationName name;
@property(nullable, readonly, retain) id object;
@property(nullable, readonly, copy) NSDictionary* userInfo;
@end

// Files, the bundle and the system.

@interface NSURL : NSObject <NSCopying>
@property(readonly) const char* fileSystemRepresentation __attribute__((objc_returns_inner_pointer))
;
@end

@interface NSBundle : NSObject
@property(class, readonly, strong) NSBundle* mainBundle;
@property(readonly, copy) NSURL* bundleURL;
@end

typedef NS_ENUM(NSUInteger, NSSearchPathDirectory) {
  NSApplicationSupportDirectory = 14,
};

typedef NS_OPTIONS(NSUInteger, NSSearchPathDomainMask) {
  NSUserDomainMask = 1,
};

@interface NSFileManager : NSObject
@property(class, readonly, strong) NSFileManager* defaultManager;
- (NSArray<NSURL*>*)URLsForDirectory:(NSSearchPathDirectory)directory
                           inDomains:(NSSearchPathDomainMask)domainMask;
@end

typedef struct {
  NSInteger majorVersion;
  NSInteger minorVersion;
  NSInteger patchVersion;
} NSOperatingSystemVersion;

@interface NSProcessInfo : NSObject
@property(class, readonly, strong) NSProcessInfo* processInfo;
@property(readonly) NSOperatingSystemVersion operatingSystemVersion;
@end

@interface NSThread : NSObject
@property(class, readonly) BOOL isMainThread;
@end

FOUNDATION_EXPORT void NSLog(NSString* format, ...) NS_FORMAT_FUNCTION(1, 2);

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FOUNDATION_H_

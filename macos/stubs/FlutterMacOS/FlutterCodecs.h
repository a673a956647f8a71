// Stub of FlutterMacOS's FlutterCodecs.h: the codec protocols that the
// channels name, the method call and error objects the bridge reads and
// creates, and the typed data the standard codec may hand it. The reader,
// writer and concrete codec classes are left out: the bridge uses the
// channels' default codec.
#ifndef TARQ_STUB_FLUTTERCODECS_H_
#define TARQ_STUB_FLUTTERCODECS_H_

#import <Foundation/Foundation.h>

#import "FlutterMacros.h"

NS_ASSUME_NONNULL_BEGIN

FLUTTER_DARWIN_EXPORT
@protocol FlutterMessageCodec
+ (instancetype)sharedInstance;
- (NSData* _Nullable)encode:(id _Nullable)message;
- (id _Nullable)decode:(NSData* _Nullable)message;
@end

FLUTTER_DARWIN_EXPORT
@interface FlutterMethodCall : NSObject
+ (instancetype)methodCallWithMethodName:(NSString*)method arguments:(id _Nullable)arguments;
@property(readonly, nonatomic) NSString* method;
@property(readonly, nonatomic, nullable) id arguments;
@end

FLUTTER_DARWIN_EXPORT
@interface FlutterError : NSObject
+ (instancetype)errorWithCode:(NSString*)code
                      message:(NSString* _Nullable)message
                      details:(id _Nullable)details;
@property(readonly, nonatomic) NSString* code;
@property(readonly, nonatomic, nullable) NSString* message;
@property(readonly, nonatomic, nullable) id details;
@end

typedef NS_ENUM(NSInteger, FlutterStandardDataType) {
  FlutterStandardDataTypeUInt8,
  FlutterStandardDataTypeInt32,
  FlutterStandardDataTypeInt64,
  FlutterStandardDataTypeFloat32,
  FlutterStandardDataTypeFloat64,
};

FLUTTER_DARWIN_EXPORT
@interface FlutterStandardTypedData : NSObject
+ (instancetype)typedDataWithBytes:(NSData*)data;
+ (instancetype)typedDataWithInt32:(NSData*)data;
+ (instancetype)typedDataWithInt64:(NSData*)data;
+ (instancetype)typedDataWithFloat32:(NSData*)data;
+ (instancetype)typedDataWithFloat64:(NSData*)data;
@property(readonly, nonatomic) NSData* data;
@property(readonly, nonatomic) FlutterStandardDataType type;
@property(readonly, nonatomic) UInt32 elementCount;
@property(readonly, nonatomic) UInt8 elementSize;
@end

FLUTTER_DARWIN_EXPORT
@protocol FlutterMethodCodec
+ (instancetype)sharedInstance;
- (NSData*)encodeMethodCall:(FlutterMethodCall*)methodCall;
- (FlutterMethodCall*)decodeMethodCall:(NSData*)methodCall;
- (NSData*)encodeSuccessEnvelope:(id _Nullable)result;
- (NSData*)encodeErrorEnvelope:(FlutterError*)error;
- (id _Nullable)decodeEnvelope:(NSData*)envelope;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FLUTTERCODECS_H_

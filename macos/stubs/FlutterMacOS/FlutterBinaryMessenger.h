// Stub of FlutterMacOS's FlutterBinaryMessenger.h, whole: the messenger that
// the registrar hands the bridge, with its required methods, and the block
// and task-queue types they name.
#ifndef TARQ_STUB_FLUTTERBINARYMESSENGER_H_
#define TARQ_STUB_FLUTTERBINARYMESSENGER_H_

#import <Foundation/Foundation.h>

#import "FlutterMacros.h"

NS_ASSUME_NONNULL_BEGIN

typedef void (^FlutterBinaryReply)(NSData* _Nullable NS_SWIFT_SENDING reply);

typedef void(NS_SWIFT_SENDABLE ^
             FlutterBinaryMessageHandler)(NSData* _Nullable NS_SWIFT_SENDING message,
                                          FlutterBinaryReply reply);

typedef int64_t FlutterBinaryMessengerConnection;

NS_SWIFT_UI_ACTOR
@protocol FlutterTaskQueue <NSObject>
@end

FLUTTER_DARWIN_EXPORT
@protocol FlutterBinaryMessenger <NSObject>
@optional
- (NSObject<FlutterTaskQueue>*)makeBackgroundTaskQueue;

- (FlutterBinaryMessengerConnection)
    setMessageHandlerOnChannel:(NSString*)channel
          binaryMessageHandler:(FlutterBinaryMessageHandler _Nullable)handler
                     taskQueue:(NSObject<FlutterTaskQueue>* _Nullable)taskQueue;

@required
- (void)sendOnChannel:(NSString*)channel message:(NSData* _Nullable)message;

- (void)sendOnChannel:(NSString*)channel
              message:(NSData* _Nullable)message
          binaryReply:(FlutterBinaryReply _Nullable)callback;

- (FlutterBinaryMessengerConnection)setMessageHandlerOnChannel:(NSString*)channel
                                          binaryMessageHandler:
                                              (FlutterBinaryMessageHandler _Nullable)handler;

- (void)cleanUpConnection:(FlutterBinaryMessengerConnection)connection;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FLUTTERBINARYMESSENGER_H_

// Stub of <ServiceManagement/ServiceManagement.h>: SMAppService, as far as the
// bridge registers the helper daemon with it (macOS 13 and later).
#ifndef TARQ_STUB_SERVICEMANAGEMENT_H_
#define TARQ_STUB_SERVICEMANAGEMENT_H_

#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, SMAppServiceStatus) {
  SMAppServiceStatusNotRegistered = 0,
  SMAppServiceStatusEnabled = 1,
  SMAppServiceStatusRequiresApproval = 2,
  SMAppServiceStatusNotFound = 3,
} API_AVAILABLE(macos(13.0));

API_AVAILABLE(macos(13.0))
@interface SMAppService : NSObject
+ (instancetype)daemonServiceWithPlistName:(NSString*)plistName;
- (BOOL)registerAndReturnError:(NSError* _Nullable* _Nullable)error;
- (void)unregisterWithCompletionHandler:(void (^)(NSError* _Nullable error))handler;
@property(readonly) SMAppServiceStatus status;
+ (void)openSystemSettingsLoginItems;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_SERVICEMANAGEMENT_H_

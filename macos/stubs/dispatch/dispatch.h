// Stub of <dispatch/dispatch.h>: the main queue and asynchronous submission.
// Dispatch objects are Objective-C objects under ARC, as the SDK declares them
// when OS_OBJECT_USE_OBJC is on.
#ifndef TARQ_STUB_DISPATCH_H_
#define TARQ_STUB_DISPATCH_H_

#import <objc/NSObject.h>

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_serial <OS_dispatch_queue>
@end
@protocol OS_dispatch_queue_main <OS_dispatch_queue_serial>
@end

typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_main>* dispatch_queue_main_t;
typedef void (^dispatch_block_t)(void);

#ifdef __cplusplus
extern "C" {
#endif

dispatch_queue_main_t dispatch_get_main_queue(void);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_DISPATCH_H_

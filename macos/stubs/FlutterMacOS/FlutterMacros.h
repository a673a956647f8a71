// Stub of FlutterMacOS's FlutterMacros.h: the macros every Flutter header
// uses. FLUTTER_DARWIN_EXPORT is empty outside the framework's own build, as
// for a plug-in.
#ifndef TARQ_STUB_FLUTTERMACROS_H_
#define TARQ_STUB_FLUTTERMACROS_H_

#if defined(FLUTTER_FRAMEWORK)
#define FLUTTER_DARWIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_DARWIN_EXPORT
#endif

#ifndef NS_ASSUME_NONNULL_BEGIN
#define NS_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define NS_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#endif

#define FLUTTER_DEPRECATED(msg) __attribute__((__deprecated__(msg)))
#define FLUTTER_UNAVAILABLE(msg) __attribute__((__unavailable__(msg)))

#if __has_feature(objc_arc)
#define FLUTTER_ASSERT_ARC
#define FLUTTER_ASSERT_NOT_ARC #error ARC must be disabled !
#else
#define FLUTTER_ASSERT_ARC #error ARC must be enabled !
#define FLUTTER_ASSERT_NOT_ARC
#endif

#define FLUTTER_SWIFT_CONCURRENCY_EXEMPT(msg) __attribute__((annotate(msg)))

#endif  // TARQ_STUB_FLUTTERMACROS_H_

// The last guard at every Objective-C entry point of the bridge (the plug-in's
// methods that Flutter calls, and every block that the main queue or the
// system runs): nothing thrown may unwind into the embedding, the run loop or
// a dispatch queue, which would end the application.
//
// Thread safety: may be used on any thread.
#ifndef TARQ_MACOS_CLASSES_EXCEPTION_GUARD_H_
#define TARQ_MACOS_CLASSES_EXCEPTION_GUARD_H_

#import <Foundation/Foundation.h>

#include <exception>
#include <string>

namespace tarq::macos {

// Writes "tarq: <what>: <reason>" to the system log and, when `reasonCopy`
// is given, copies `reason` there. Never throws.
void noteEscapedFailure(const char* what, const char* reason, std::string* reasonCopy) noexcept;

// Runs `body` and returns true when it returned normally. Anything thrown out
// of it, a C++ exception of any type or an Objective-C exception (an
// NSException from Foundation or Flutter, or any other object), is caught,
// logged under `what`, its reason copied to `reason`, and false returned.
template <typename Body>
bool runGuarded(const char* what, Body&& body, std::string* reason = nullptr) noexcept {
  try {
    @try {
      body();
      return true;
    } @catch (NSException* exception) {
      const char* text = exception.reason.UTF8String;
      noteEscapedFailure(what, text != nullptr ? text : "an Objective-C exception", reason);
    } @catch (id other) {
      noteEscapedFailure(what, "an Objective-C exception", reason);
    }
  } catch (const std::exception& error) {
    noteEscapedFailure(what, error.what(), reason);
  } catch (...) {
    noteEscapedFailure(what, "an exception of unknown type", reason);
  }
  return false;
}

}  // namespace tarq::macos

#endif  // TARQ_MACOS_CLASSES_EXCEPTION_GUARD_H_

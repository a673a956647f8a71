// SystemLog on macOS: each line through NSLog, as plain text.
//
// The pod's only definition of SystemLog::system(): src/support/system_log.cc, which the pod
// also compiles, defines the Linux one only where __APPLE__ is not defined
// (macos/check.sh link checks that every symbol is defined once).
#import <Foundation/Foundation.h>

#include <memory>
#include <string_view>

#include "foundation_objects.h"
#include "support/system_log.h"

namespace tarq {
namespace {

class NSLogSystemLog final : public SystemLog {
 public:
  void write(std::string_view line) override {
    @autoreleasepool {
      // The line is an argument, never the format: it may hold '%'.
      NSLog(@"%@", macos::stringObject(line));
    }
  }
};

}  // namespace

std::shared_ptr<SystemLog> SystemLog::system() {
  // Never destroyed, so that threads still running at exit can log.
  static const auto* const log = new std::shared_ptr<SystemLog>(std::make_shared<NSLogSystemLog>());
  return *log;
}

}  // namespace tarq

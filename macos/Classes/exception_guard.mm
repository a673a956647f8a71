#import "exception_guard.h"

#include "support/system_log.h"

namespace tarq::macos {

void noteEscapedFailure(const char* what, const char* reason, std::string* reasonCopy) noexcept {
  try {
    if (reasonCopy != nullptr) {
      *reasonCopy = reason;
    }
    SystemLog::system()->write(std::string(kLogPrefix) + what + ": " + reason);
  } catch (...) {
    // Out of memory, or a log that failed: nothing is left to report to.
  }
}

}  // namespace tarq::macos

// Carries one request/reply exchange with the helper daemon.
#ifndef TARQ_HELPER_HELPER_TRANSPORT_H_
#define TARQ_HELPER_HELPER_TRANSPORT_H_

#include <string>

namespace tarq {

class HelperTransport {
 public:
  virtual ~HelperTransport() = default;

  // Sends `request` (one line, its line feed included) and returns the reply
  // line without its line feed. Throws HelperError.
  virtual std::string exchange(const std::string& request) = 0;
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_TRANSPORT_H_

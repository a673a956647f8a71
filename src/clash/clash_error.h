// The error type of every failure the Clash API client detects itself.
#ifndef TARQ_CLASH_CLASH_ERROR_H_
#define TARQ_CLASH_CLASH_ERROR_H_

#include <exception>
#include <string>

namespace tarq {

class ClashError : public std::exception {
 public:
  enum class Kind { http, transport, badReply };

  // "clash api: HTTP " + status (0 when there was no HTTP response).
  static ClashError http(long status);
  // "clash api: " + message.
  static ClashError transport(std::string message);
  // "clash api: unreadable reply".
  static ClashError badReply();

  Kind kind() const { return kind_; }
  long status() const { return status_; }

  const std::string& errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  ClashError(Kind kind, long status, std::string description);

  Kind kind_;
  long status_;
  std::string description_;
};

}  // namespace tarq

#endif  // TARQ_CLASH_CLASH_ERROR_H_

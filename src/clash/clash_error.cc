#include "clash/clash_error.h"

#include <utility>

namespace tarq {
namespace {

constexpr char kPrefix[] = "clash api: ";

}  // namespace

ClashError::ClashError(Kind kind, long status, std::string description)
    : kind_(kind), status_(status), description_(std::move(description)) {}

ClashError ClashError::http(long status) {
  return ClashError(Kind::http, status, kPrefix + std::string("HTTP ") + std::to_string(status));
}

ClashError ClashError::transport(std::string message) {
  return ClashError(Kind::transport, 0, kPrefix + std::move(message));
}

ClashError ClashError::badReply() {
  return ClashError(Kind::badReply, 0, kPrefix + std::string("unreadable reply"));
}

}  // namespace tarq

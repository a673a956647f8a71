#include "caller_policy.h"

namespace tarq {

std::string describeCaller(const CallerIdentity& caller) {
  return caller.known ? "uid " + std::to_string(caller.uid) : "an unidentified caller";
}

CallerVerdict refusal(const CallerIdentity& caller, std::string reason) {
  CallerVerdict verdict;
  verdict.uid = caller.uid;
  verdict.gid = caller.gid;
  verdict.reason = std::move(reason);
  return verdict;
}

}  // namespace tarq

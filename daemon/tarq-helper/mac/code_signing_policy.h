// Who may call the helper daemon on macOS: a process whose code satisfies a
// code-signing requirement. The caller is found by the audit token of its end
// of the connection, which the kernel records when the connection is made and
// which names one exec of one process, never by its process number, which
// another process can take over once the caller has exited.
#ifndef TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_
#define TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_

#include <memory>
#include <string>

#include "daemon/core/caller_policy.h"

namespace tarq {

// The policy that admits callers meeting `requirementText`, a requirement in
// Apple's code signing requirement language. Empty text means "signed by the
// helper's own team": any of the team's certificates while the helper is
// development-signed, and only its Developer ID certificate once the helper
// itself is signed with Developer ID.
//
// Never throws. When the requirement cannot be made (text that does not
// compile, or a helper without a team signature and no text), the policy
// refuses every caller, and its reason says why.
std::unique_ptr<CallerPolicy> makeCodeSigningPolicy(const std::string& requirementText);

}  // namespace tarq

#endif  // TARQ_DAEMON_TARQ_HELPER_MAC_CODE_SIGNING_POLICY_H_
